// Answers to a chunk request of any content (status, Content-Range, body length, validators,
// against any asked range), as a hostile or broken server sends them. Checked against what
// judgeAnswer promises: bytes are handed on only when they start at the asked byte and agree
// with their own Content-Range (or are a whole answer the caller takes), the length and
// validator come only from a data answer, every other status carries nothing but a 416's total,
// and the asked range and Content-Range read as the byte-range parsers read them.
// Input: text, one "key value" line each: status, range, content-range, body, etag,
// last-modified, whole (0/1), require (0/1). Missing keys keep the defaults.
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include "engine/answer_judge.h"
#include "engine/byte_range.h"
#include "fuzz_support.h"

namespace zephyl::fuzz {
namespace {

int64_t numberOf(const std::string& text) {
  std::istringstream in(text);
  int64_t value = 0;
  in >> value;
  return value;
}

AnswerFacts factsOf(const std::string& input) {
  AnswerFacts facts;
  std::istringstream lines(input);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (key == "status") {
      facts.status = static_cast<int32_t>(numberOf(value));
    } else if (key == "range") {
      facts.requestedRange = value;
    } else if (key == "content-range") {
      facts.contentRange = value;
    } else if (key == "body") {
      facts.bodyLength = numberOf(value);
    } else if (key == "etag") {
      facts.etag = value;
    } else if (key == "last-modified") {
      facts.lastModified = value;
    } else if (key == "whole") {
      facts.acceptWholeAnswer = value == "1";
    } else if (key == "require") {
      facts.requireRangeHonoured = value != "0";
    }
  }
  return facts;
}

void checkVerdict(const AnswerFacts& facts, const AnswerVerdict& verdict) {
  // The asked range, as the range parser reads it.
  int64_t first = 0;
  int64_t last = -1;
  if (!facts.requestedRange.empty() && !parseRangeValue(facts.requestedRange, &first, &last)) {
    first = -1;
    last = -1;
  }
  FUZZ_CHECK(verdict.requestedStart == first && verdict.requestedEnd == last,
             "asked range misread: " + facts.requestedRange);

  const bool data = facts.status == 200 || facts.status == 206;
  FUZZ_CHECK(verdict.carriesData == data, "data told wrong for " + std::to_string(facts.status));
  if (!data) {
    FUZZ_CHECK(!verdict.refused && !verdict.rangeHonoured && !verdict.totalLengthKnown &&
                   verdict.contentLength == 0 && !verdict.hasContentRange &&
                   verdict.contentRangeStart == -1 && verdict.contentRangeEnd == -1 &&
                   verdict.validator.empty(),
               "an answer without data says something about data");
    if (facts.status == 416 && facts.contentRange) {
      const ContentRange range = parseContentRange(*facts.contentRange);
      FUZZ_CHECK(verdict.contentRangeTotal == (range.hasTotal ? range.total : -1) &&
                     verdict.contentRangeTotalUnknown == !range.hasTotal,
                 "416 total misread: " + *facts.contentRange);
    } else {
      FUZZ_CHECK(verdict.contentRangeTotal == -1 && !verdict.contentRangeTotalUnknown,
                 "a total from an answer that states none");
    }
    return;
  }

  // Validators: a strong ETag, else the date; a weak ETag never.
  const bool strongEtag = !facts.etag.empty() && facts.etag.front() == '"';
  FUZZ_CHECK(verdict.validator == (strongEtag ? facts.etag : facts.lastModified),
             "validator \"" + verdict.validator + "\" from etag \"" + facts.etag + "\"");

  const int64_t body = facts.bodyLength >= 0 ? facts.bodyLength : -1;
  if (verdict.hasContentRange) {
    FUZZ_CHECK(facts.status == 206, "a Content-Range believed on a 200");
    FUZZ_CHECK(
        verdict.contentRangeStart >= 0 && verdict.contentRangeStart <= verdict.contentRangeEnd &&
            (verdict.contentRangeTotal < 0 || verdict.contentRangeEnd < verdict.contentRangeTotal),
        "an inconsistent Content-Range believed: " + facts.contentRange.value_or(""));
  }
  if (verdict.totalLengthKnown) {
    FUZZ_CHECK(verdict.contentLength >= 0, "a known length below 0");
  }
  if (facts.status == 206 && verdict.contentRangeTotal >= 0) {
    FUZZ_CHECK(verdict.totalLengthKnown && verdict.contentLength == verdict.contentRangeTotal,
               "the stated total is not the length");
  } else {
    FUZZ_CHECK(verdict.contentLength == body, "the length is not the body's");
    FUZZ_CHECK(verdict.totalLengthKnown == (facts.status == 200 && body >= 0),
               "a part's length taken for the resource's");
  }

  // The bytes handed on land at the asked offset and are what their header says.
  const bool honoured =
      facts.status == 200
          ? first == 0
          : verdict.hasContentRange && first >= 0 && verdict.contentRangeStart == first &&
                (body < 0 || body == verdict.contentRangeEnd - verdict.contentRangeStart + 1);
  FUZZ_CHECK(verdict.rangeHonoured == honoured, "honoured told wrong");
  const bool wholeTaken = facts.status == 200 && facts.acceptWholeAnswer;
  FUZZ_CHECK(verdict.refused == (facts.requireRangeHonoured && !honoured && !wholeTaken),
             "refusal told wrong");
}

}  // namespace
}  // namespace zephyl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zephyl;
  using namespace zephyl::fuzz;
  const AnswerFacts facts = factsOf(std::string(reinterpret_cast<const char*>(data), size));
  checkVerdict(facts, judgeAnswer(facts));
  return 0;
}
