// Reading the byte-range texts of a ranged GET: the Range value this library asks for and the
// Content-Range value a server answers with. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace zephyl {

// A "first-last" or "first-" Range value (decimal, no unit). On success *first is the first byte
// and *last the last one, -1 for an open range. Returns false for any other text.
[[nodiscard]] bool parseRangeValue(const std::string& text, int64_t* first, int64_t* last);

// The bytes a request asks for with a Range value of this library: (0, -1) for an empty text (no
// Range header, the whole resource), (first, last) for a readable one, (-1, -1) otherwise.
void requestedBytesOf(const std::string& range, int64_t* first, int64_t* last);

// A Content-Range value "bytes first-last/total" (total may be "*").
struct ContentRange {
  // "first-last" was readable, first <= last, and first lies below a stated total (a range that
  // starts past its own total contradicts itself: then neither part is readable). A last byte
  // stated at or past the total is read as the total's last byte.
  bool hasRange = false;
  int64_t first = -1;
  int64_t last = -1;
  bool hasTotal = false;  // the text after the first "/" is a decimal number
  int64_t total = -1;
  bool totalUnknown = false;  // there is a "/" but no number after it ("*" or anything else)
};

// Never fails: unreadable parts stay at their "absent" values above.
ContentRange parseContentRange(const std::string& value);

}  // namespace zephyl
