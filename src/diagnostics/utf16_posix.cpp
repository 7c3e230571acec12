// UTF-8 to UTF-16 where the system offers no conversion of its own: decoded here, each broken
// sequence replaced with U+FFFD much as Windows' MultiByteToWideChar does.
#include <string>

#include "diagnostics/utilities.h"

namespace zephyl {

std::wstring utf8ToUtf16(const std::string& text) {
  constexpr char32_t kReplacement = 0xFFFD;
  std::wstring result;
  result.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    char32_t codePoint = kReplacement;
    size_t length = 1;
    size_t expected = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      codePoint = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      expected = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      expected = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      expected = 4, minimum = 0x10000, codePoint = lead & 0x07;
    }
    if (expected > 0) {
      size_t taken = 1;
      while (taken < expected && i + taken < size && (bytes[i + taken] & 0xC0) == 0x80) {
        codePoint = (codePoint << 6) | (bytes[i + taken] & 0x3F);
        ++taken;
      }
      const bool valid = taken == expected && codePoint >= minimum && codePoint <= 0x10FFFF &&
                         (codePoint < 0xD800 || codePoint > 0xDFFF);
      // A broken sequence becomes one replacement character for the bytes it consumed.
      if (!valid) codePoint = kReplacement;
      length = taken;
    }
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      result.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
      result.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
      result.push_back(static_cast<wchar_t>(codePoint));
    }
    i += length;
  }
  return result;
}

}  // namespace zephyl
