// Paths in zget are UTF-8 text, as in the library; this is the one way between that text and
// the file system's own form (utf8_path_posix.cpp, utf8_path_windows.cpp). Neither direction
// throws or consults the C locale: std::filesystem::path(std::string) and u8path convert
// through a codecvt on Windows and throw on what it cannot convert. Pure functions;
// thread-safe.
#pragma once

#include <filesystem>
#include <string>

namespace zget {

// The path named by UTF-8 text: the bytes themselves on POSIX systems; UTF-16 on Windows, where
// a byte that is not part of valid UTF-8 becomes U+FFFD.
std::filesystem::path pathFromUtf8(const std::string& text);

// A path as UTF-8 text in its generic form ("/" between components, as the library joins
// paths); on Windows a lone UTF-16 surrogate becomes U+FFFD.
std::string utf8FromPath(const std::filesystem::path& path);

}  // namespace zget
