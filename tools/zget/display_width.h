// How many terminal columns UTF-8 text takes, and text cut to fit some: a character of the wide
// East Asian scripts (CJK, Hangul, full-width forms) and most emoji take two columns, combining
// marks none, every other character one. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>

namespace zget {

// Columns of text; bytes that are not UTF-8 count one each.
size_t displayColumns(const std::string& text);

// text cut at a character boundary to at most columns columns, ending in "..." when it was cut
// (only dots when columns is 3 or less).
std::string fitColumns(const std::string& text, size_t columns);

}  // namespace zget
