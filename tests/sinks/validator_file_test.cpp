#include "sinks/validator_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_dir.h"

namespace zephyl {
namespace {

class ValidatorFileTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  std::string readAll() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void writeAll(const std::string& bytes) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  }

  test::TempDir dir_;
  std::string path_ = dir_.file("key.validator");
};

TEST_F(ValidatorFileTest, KeepsTheServersTextExactlyAndTellsTheKindsApart) {
  for (const std::string& validator :
       {std::string("\"abc\""), std::string("W/\"weak\""),
        std::string("Mon, 07 Dec 2026 10:00:00 GMT"), std::string(kMaxValidatorBytes, 'x')}) {
    ASSERT_TRUE(saveValidator(path_, validator));
    EXPECT_EQ(readAll(), validator);  // the whole format: no kind line, no line break
    std::string loaded = "stale";
    EXPECT_TRUE(loadValidator(path_, &loaded));
    EXPECT_EQ(loaded, validator);
  }
  EXPECT_TRUE(isEntityTag("\"abc\""));
  EXPECT_TRUE(isEntityTag("W/\"weak\""));
  EXPECT_FALSE(isEntityTag("Mon, 07 Dec 2026 10:00:00 GMT"));
  EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
}

TEST_F(ValidatorFileTest, EmptyValidatorRemovesTheFileAndAMissingFileLoadsEmpty) {
  ASSERT_TRUE(saveValidator(path_, "\"abc\""));
  EXPECT_TRUE(saveValidator(path_, ""));
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_TRUE(saveValidator(path_, ""));
  std::string loaded = "stale";
  EXPECT_TRUE(loadValidator(path_, &loaded));
  EXPECT_EQ(loaded, "");
}

TEST_F(ValidatorFileTest, FilesTheLibraryCannotHaveWrittenAreNotTrusted) {
  for (const std::string& content :
       {std::string(), std::string("\"a\"\n"), std::string("\"a\r\""), std::string("\"a\0\"", 4),
        std::string(kMaxValidatorBytes + 1, 'x')}) {
    writeAll(content);
    std::string loaded = "stale";
    EXPECT_FALSE(loadValidator(path_, &loaded)) << content.size();
    EXPECT_EQ(loaded, "");
  }
  std::filesystem::create_directory(path_ + ".dir");
  std::string loaded;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(loadValidator(path_ + ".dir", &loaded));
  testing::internal::GetCapturedStdout();
}

// A save that cannot complete (a validator that could not be read back, or a temporary file
// that cannot be written) leaves the previous validator in place.
TEST_F(ValidatorFileTest, FailedSaveKeepsThePreviousValidator) {
  ASSERT_TRUE(saveValidator(path_, "\"v1\""));
  EXPECT_FALSE(saveValidator(path_, "\"two\nlines\""));
  EXPECT_FALSE(saveValidator(path_, std::string(kMaxValidatorBytes + 1, 'x')));
  std::filesystem::create_directory(path_ + ".tmp");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(saveValidator(path_, "\"v2\""));
  testing::internal::GetCapturedStdout();
  std::string loaded;
  EXPECT_TRUE(loadValidator(path_, &loaded));
  EXPECT_EQ(loaded, "\"v1\"");
}

}  // namespace
}  // namespace zephyl
