// The platform-free parts of the file-system layer: path helpers (both "\" and "/" separate, the
// last one of either kind counts), the report of a failure, and what every platform's
// implementation does the same way around its system calls.
#include "storage/fs_common.h"

#include <string>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "storage/fs.h"

namespace zephyl::fs {
namespace {

constexpr char kSeparators[] = "\\/";

}  // namespace

Status reportError(const char* operation, std::string_view path, int code, std::string message) {
  if (isDetailLogEnabled()) {
    LogLine(3) << operation << " error, path = " << std::string(path) << " , errorCode = " << code
               << " , errorMsg = " << message;
  }
  return Status::systemError(code, std::move(message));
}

size_t parentLength(std::string_view path, size_t length) {
  const size_t separator = path.substr(0, length).find_last_of(kSeparators);
  return separator == std::string_view::npos ? 0 : separator;
}

Status createMissingLevels(const std::string& path, size_t rootLength,
                           const std::function<Status(const std::string&)>& createOne) {
  // Walk up to the nearest ancestor that exists, then create the missing levels top down. The
  // levels are prefixes of path, kept as lengths.
  std::vector<size_t> missingLevels{path.size()};
  for (size_t length = parentLength(path, path.size()); length > 0 && length >= rootLength;
       length = parentLength(path, length)) {
    if (exists(path.substr(0, length))) break;
    missingLevels.push_back(length);
  }
  for (auto level = missingLevels.rbegin(); level != missingLevels.rend(); ++level) {
    Status created = createOne(path.substr(0, *level));
    if (!created.isOk()) return created;
  }
  return Status::ok();
}

Status moveFile(const std::string& source, const std::string& target) {
  return moveFile(source, target, false);
}

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
