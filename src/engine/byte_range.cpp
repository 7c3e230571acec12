#include "engine/byte_range.h"

#include <cctype>
#include <charconv>

namespace zephyl {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The whole of [begin, end) is one non-negative decimal number that fits 64 bits.
bool parseDecimal(const char* begin, const char* end, int64_t* value) {
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
  if (begin == end || *begin < '0' || *begin > '9') return false;  // no sign accepted
  int64_t parsed = 0;
  const std::from_chars_result result = std::from_chars(begin, end, parsed);
  if (result.ec != std::errc() || result.ptr != end) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool parseRangeValue(const std::string& text, int64_t* first, int64_t* last) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  const char* begin = text.data();
  int64_t from = 0;
  if (!parseDecimal(begin, begin + dash, &from)) return false;
  int64_t to = -1;
  const char* rest = begin + dash + 1;
  const char* end = begin + text.size();
  bool open = true;
  for (const char* c = rest; c < end; ++c) open = open && isBlank(*c);
  if (!open && (!parseDecimal(rest, end, &to) || to < from)) return false;
  *first = from;
  *last = to;
  return true;
}

void requestedBytesOf(const std::string& range, int64_t* first, int64_t* last) {
  *first = range.empty() ? 0 : -1;
  *last = -1;
  if (!range.empty() && !parseRangeValue(range, first, last)) {
    *first = -1;
    *last = -1;
  }
}

ContentRange parseContentRange(const std::string& value) {
  ContentRange range;
  const size_t slash = value.find('/');
  const char* begin = value.data();
  const char* end = begin + value.size();
  const char* rangeEnd = slash == std::string::npos ? end : begin + slash;
  if (slash != std::string::npos) {
    range.hasTotal = parseDecimal(begin + slash + 1, end, &range.total);
    if (!range.hasTotal) range.total = -1;
    range.totalUnknown = !range.hasTotal;
  }
  // "bytes first-last": the unit, blanks, then the pair.
  const char* cursor = begin;
  while (cursor < rangeEnd && isBlank(*cursor)) ++cursor;
  static const char kUnit[] = "bytes";
  const size_t unitLength = sizeof kUnit - 1;
  if (static_cast<size_t>(rangeEnd - cursor) <= unitLength || !isBlank(cursor[unitLength])) {
    return range;
  }
  // Units are case-insensitive: "Bytes" and "BYTES" name the same unit.
  for (size_t i = 0; i < unitLength; ++i) {
    if (std::tolower(static_cast<unsigned char>(cursor[i])) != kUnit[i]) return range;
  }
  cursor += unitLength;
  const char* dash = cursor;
  while (dash < rangeEnd && *dash != '-') ++dash;
  int64_t first = 0;
  int64_t last = 0;
  if (dash == rangeEnd || !parseDecimal(cursor, dash, &first) ||
      !parseDecimal(dash + 1, rangeEnd, &last) || last < first) {
    return range;
  }
  // A range stated past its own total ends at the total: some servers (cpp-httplib among them)
  // repeat the range they were asked for instead of cutting it at the resource's end, while the
  // body holds only the bytes up to it. A first byte at or past the total contradicts itself.
  if (range.hasTotal && first >= range.total) return ContentRange();
  if (range.hasTotal && last >= range.total) last = range.total - 1;
  range.hasRange = true;
  range.first = first;
  range.last = last;
  return range;
}

}  // namespace zephyl
