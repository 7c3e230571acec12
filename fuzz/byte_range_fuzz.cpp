// Range and Content-Range texts of any content, as a server (or anything between it and us)
// may send them. Every text either parses into values that describe a real range (first <= last,
// nothing negative) which print and parse back to the same values, or is refused; and the
// canonical spellings of any numbers parse to exactly those numbers.
// Input: the text itself; its first 24 bytes also give three numbers for the canonical spellings.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/byte_range.h"
#include "fuzz_support.h"

namespace zephyl::fuzz {
namespace {

bool sameRange(const ContentRange& a, const ContentRange& b) {
  return a.hasRange == b.hasRange && a.first == b.first && a.last == b.last &&
         a.hasTotal == b.hasTotal && a.total == b.total && a.totalUnknown == b.totalUnknown;
}

std::string print(const ContentRange& range) {
  std::string text = "bytes ";
  text += range.hasRange ? std::to_string(range.first) + "-" + std::to_string(range.last) : "*";
  if (range.hasTotal) {
    text += "/" + std::to_string(range.total);
  } else if (range.totalUnknown) {
    text += "/*";
  }
  return text;
}

void checkContentRange(const std::string& text) {
  const ContentRange range = parseContentRange(text);
  const bool hasSlash = text.find('/') != std::string::npos;
  if (range.hasRange) {
    FUZZ_CHECK(range.first >= 0 && range.first <= range.last, "disordered range: " + text);
  } else {
    FUZZ_CHECK(range.first == -1 && range.last == -1, "range values without a range: " + text);
  }
  if (range.hasTotal) {
    FUZZ_CHECK(range.total >= 0 && !range.totalUnknown, "bad total: " + text);
    FUZZ_CHECK(!range.hasRange || range.last < range.total, "a range past its total: " + text);
  } else {
    FUZZ_CHECK(range.total == -1, "total value without a total: " + text);
  }
  if (range.totalUnknown) FUZZ_CHECK(hasSlash, "an unknown total without a slash: " + text);
  if (!hasSlash) FUZZ_CHECK(!range.hasTotal, "a total without a slash: " + text);

  if (range.hasRange || range.hasTotal) {
    FUZZ_CHECK(sameRange(parseContentRange(print(range)), range),
               "\"" + text + "\" printed as \"" + print(range) + "\" reads differently");
  }
}

void checkRangeValue(const std::string& text) {
  int64_t first = -7;
  int64_t last = -7;
  if (!parseRangeValue(text, &first, &last)) {
    FUZZ_CHECK(first == -7 && last == -7, "a refused text changed the values: " + text);
    return;
  }
  FUZZ_CHECK(first >= 0 && (last == -1 || last >= first), "disordered range value: " + text);
  const std::string printed = std::to_string(first) + "-" + (last >= 0 ? std::to_string(last) : "");
  int64_t again = -7;
  int64_t againLast = -7;
  FUZZ_CHECK(parseRangeValue(printed, &again, &againLast) && again == first && againLast == last,
             "\"" + text + "\" printed as \"" + printed + "\" reads differently");
}

void checkCanonical(int64_t a, int64_t b, int64_t c) {
  const int64_t first = std::min(a, b);
  const int64_t last = std::max(a, b);
  const int64_t total = last + 1 + c;  // every value below 2^61: no overflow
  const ContentRange range = parseContentRange("bytes " + std::to_string(first) + "-" +
                                               std::to_string(last) + "/" + std::to_string(total));
  FUZZ_CHECK(range.hasRange && range.first == first && range.last == last && range.hasTotal &&
                 range.total == total && !range.totalUnknown,
             "canonical Content-Range misread");
  const ContentRange unsatisfied = parseContentRange("bytes */" + std::to_string(total));
  FUZZ_CHECK(!unsatisfied.hasRange && unsatisfied.hasTotal && unsatisfied.total == total,
             "canonical unsatisfied Content-Range misread");
  const ContentRange unknown =
      parseContentRange("bytes " + std::to_string(first) + "-" + std::to_string(last) + "/*");
  FUZZ_CHECK(unknown.hasRange && !unknown.hasTotal && unknown.totalUnknown,
             "canonical Content-Range with an unknown total misread");

  int64_t parsedFirst = -1;
  int64_t parsedLast = -1;
  FUZZ_CHECK(parseRangeValue(std::to_string(first) + "-" + std::to_string(last), &parsedFirst,
                             &parsedLast) &&
                 parsedFirst == first && parsedLast == last,
             "canonical range value misread");
  FUZZ_CHECK(parseRangeValue(std::to_string(first) + "-", &parsedFirst, &parsedLast) &&
                 parsedFirst == first && parsedLast == -1,
             "canonical open range value misread");
}

int64_t nonNegative(const uint8_t* bytes) {
  uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return static_cast<int64_t>(value >> 3);
}

}  // namespace
}  // namespace zephyl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zephyl::fuzz;
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkContentRange(text);
  checkRangeValue(text);
  if (size >= 24) checkCanonical(nonNegative(data), nonNegative(data + 8), nonNegative(data + 16));
  return 0;
}
