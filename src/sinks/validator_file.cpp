#include "sinks/validator_file.h"

#include <cstdio>

#include "storage/atomic_file.h"
#include "storage/file_handle.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

// A text that fits the format: short, one line, no zero byte.
bool isStorable(const std::string& text) {
  return !text.empty() && text.size() <= kMaxValidatorBytes &&
         text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

bool saveValidator(const std::string& path, const std::string& validator) {
  if (validator.empty()) return !fs::exists(path) || fs::removeFile(path).isOk();
  if (!isStorable(validator)) return false;
  return replaceFileAtomically(path, validator.data(), validator.size()).isOk();
}

bool loadValidator(const std::string& path, std::string* validator) {
  validator->clear();
  // A download stored without a validator; not opening it keeps the failed-open line quiet.
  if (!fs::exists(path)) return true;
  FileHandle file(fs::fOpenFile(path, "rb"));
  if (!file) return false;
  // One byte more than allowed tells an overlong file from one of exactly the limit.
  char buffer[kMaxValidatorBytes + 1];
  const size_t length = std::fread(buffer, 1, sizeof buffer, file.get());
  if (std::ferror(file.get()) != 0) return false;
  const std::string text(buffer, length);
  if (!isStorable(text)) return false;
  *validator = text;
  return true;
}

bool isEntityTag(const std::string& validator) {
  return validator.rfind("\"", 0) == 0 || validator.rfind("W/\"", 0) == 0;
}

}  // namespace zephyl
