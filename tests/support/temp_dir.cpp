#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace zephyl::test {

TempDir::TempDir() {
  std::error_code error;
  std::string pattern =
      (std::filesystem::temp_directory_path(error) / "zephyl_test_XXXXXX").string();
  if (error) pattern = "/tmp/zephyl_test_XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code error;  // a test that left a file open still gets its directory removed
  std::filesystem::remove_all(path_, error);
}

}  // namespace zephyl::test
