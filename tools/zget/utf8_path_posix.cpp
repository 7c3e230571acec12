#include "utf8_path.h"

namespace zget {

// A POSIX path is a string of bytes: nothing to convert.
std::filesystem::path pathFromUtf8(const std::string& text) { return std::filesystem::path(text); }

std::string utf8FromPath(const std::filesystem::path& path) { return path.generic_string(); }

}  // namespace zget
