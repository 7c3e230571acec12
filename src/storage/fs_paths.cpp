// The path helpers of the file-system layer that call no system: both "\" and "/" separate, the
// last one of either kind counts. Shared by every platform's implementation.
#include <string>

#include "storage/fs.h"

namespace zephyl::fs {
namespace {

constexpr char kSeparators[] = "\\/";

}  // namespace

std::string fileNameOf(const std::string& path) {
  const size_t separator = path.find_last_of(kSeparators);
  if (separator == std::string::npos) return std::string();
  return path.substr(separator + 1);
}

std::string parentDirOf(const std::string& path) {
  const size_t separator = path.find_last_of(kSeparators);
  if (separator == std::string::npos) return std::string();
  return path.substr(0, separator);
}

}  // namespace zephyl::fs
