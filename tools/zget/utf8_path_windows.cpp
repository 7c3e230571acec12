// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <climits>

#include "utf16_windows.h"
#include "utf8_path.h"

namespace zget {

// Without MB_ERR_INVALID_CHARS and WC_ERR_INVALID_CHARS both calls replace what they cannot
// convert instead of failing; only a text beyond the calls' int lengths comes back empty.
std::wstring utf16FromUtf8(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring result(static_cast<size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, result.data(), units);
  return result;
}

std::string utf8FromUtf16(const std::wstring& text) {
  if (text.empty() || text.size() > INT_MAX / 3) return std::string();
  const int size = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), bytes, nullptr, nullptr);
  }
  return result;
}

// A wide path needs no conversion: the path keeps the UTF-16 text as it is.
std::filesystem::path pathFromUtf8(const std::string& text) {
  return std::filesystem::path(utf16FromUtf8(text));
}

std::string utf8FromPath(const std::filesystem::path& path) {
  return utf8FromUtf16(path.generic_wstring());
}

}  // namespace zget
