// UTF-8 and UTF-16 text for zget's Windows files (defined in utf8_path_windows.cpp). Neither
// direction fails: what cannot be converted (bytes outside valid UTF-8, lone surrogates)
// becomes U+FFFD. Windows only; pure functions; thread-safe.
#pragma once

#include <string>

namespace zget {

std::wstring utf16FromUtf8(const std::string& text);
std::string utf8FromUtf16(const std::wstring& text);

}  // namespace zget
