#include "display_width.h"

#include <cstdint>

namespace zget {
namespace {

struct Range {
  uint32_t first;
  uint32_t last;
};

// Characters that take two columns (East Asian Wide and Fullwidth, and the emoji blocks).
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
    {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18AFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF},
    {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Characters that take none: combining marks, zero-width spaces and joiners, variation selectors.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

template <size_t N>
bool within(const Range (&ranges)[N], uint32_t code) {
  for (const Range& range : ranges) {
    if (code >= range.first && code <= range.last) return true;
  }
  return false;
}

// The character starting at text[*at] (advancing *at past it); a byte that starts no valid
// sequence is taken alone.
uint32_t nextCharacter(const std::string& text, size_t* at) {
  const auto lead = static_cast<unsigned char>(text[*at]);
  const size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
  if (length == 0 || *at + length > text.size()) {
    ++*at;
    return lead;
  }
  uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[*at + i]);
    if ((next & 0xC0) != 0x80) {
      ++*at;
      return lead;
    }
    code = (code << 6) | (next & 0x3F);
  }
  *at += length;
  return code;
}

size_t columnsOf(uint32_t code) {
  if (within(kZero, code)) return 0;
  return within(kWide, code) ? 2 : 1;
}

}  // namespace

size_t displayColumns(const std::string& text) {
  size_t columns = 0;
  for (size_t at = 0; at < text.size();) columns += columnsOf(nextCharacter(text, &at));
  return columns;
}

std::string fitColumns(const std::string& text, size_t columns) {
  if (displayColumns(text) <= columns) return text;
  if (columns <= 3) return std::string(columns, '.');
  size_t used = 0;
  size_t end = 0;
  while (end < text.size()) {
    size_t next = end;
    const size_t width = columnsOf(nextCharacter(text, &next));
    if (used + width > columns - 3) break;
    used += width;
    end = next;
  }
  return text.substr(0, end) + "...";
}

}  // namespace zget
