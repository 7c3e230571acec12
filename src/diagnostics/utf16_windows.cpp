// UTF-8 to UTF-16 through the system's own conversion on Windows.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <limits>
#include <string>

#include "diagnostics/utilities.h"

namespace zephyl {

std::wstring utf8ToUtf16(const std::string& text) {
  // The length is passed, so zero bytes are converted too; no flags: a broken sequence becomes
  // U+FFFD instead of failing the conversion.
  if (text.empty() || text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    return std::wstring();
  }
  const int bytes = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring result(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, result.data(), units);
  return result;
}

}  // namespace zephyl
