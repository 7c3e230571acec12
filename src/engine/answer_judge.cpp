#include "engine/answer_judge.h"

#include "engine/byte_range.h"

namespace zephyl {
namespace {

// A weak ETag ("W/...") tells that two bodies mean the same, not that they are the same bytes:
// it cannot join parts of two answers. A strong ETag wins over a date; either one is the
// validator the stored bytes are kept with.
std::string validatorOf(const std::string& etag, const std::string& lastModified) {
  if (!etag.empty() && etag.front() == '"') return etag;
  return lastModified;
}

// A 416 states the resource's length as "bytes */total": the range asked for lies past it.
void noteUnsatisfiable(const AnswerFacts& facts, AnswerVerdict* verdict) {
  if (!facts.contentRange) return;
  const ContentRange range = parseContentRange(*facts.contentRange);
  verdict->contentRangeTotal = range.total;
  verdict->contentRangeTotalUnknown = !range.hasTotal;
}

}  // namespace

AnswerVerdict judgeAnswer(const AnswerFacts& facts) {
  AnswerVerdict verdict;
  requestedBytesOf(facts.requestedRange, &verdict.requestedStart, &verdict.requestedEnd);
  const int32_t status = facts.status;
  verdict.carriesData = isDataStatus(status);
  if (!verdict.carriesData) {
    if (status == 416) noteUnsatisfiable(facts, &verdict);
    return verdict;
  }
  verdict.validator = validatorOf(facts.etag, facts.lastModified);
  const int64_t bodyLength = facts.bodyLength >= 0 ? facts.bodyLength : -1;

  // Content-Range only means something on a 206; a 200 carries the whole resource.
  ContentRange range;
  if (status == 206 && facts.contentRange) {
    range = parseContentRange(*facts.contentRange);
    verdict.hasContentRange = range.hasRange;
    verdict.contentRangeStart = range.first;
    verdict.contentRangeEnd = range.last;
    verdict.contentRangeTotal = range.total;
    verdict.contentRangeTotalUnknown = !range.hasTotal;
  }
  if (range.hasTotal) {
    verdict.contentLength = range.total;
    verdict.totalLengthKnown = true;
  } else {
    // No stated total ("*", unreadable, or a 200): the length of this body, -1 if unknown.
    verdict.contentLength = bodyLength;
    verdict.totalLengthKnown = status == 200 && bodyLength >= 0;
  }

  if (status == 206) {
    // A body longer than its Content-Range would put bytes of unknown meaning after the range;
    // a shorter one means one of the two is wrong. Either way the answer contradicts itself.
    const bool lengthFits = bodyLength < 0 || bodyLength - 1 == range.last - range.first;
    verdict.rangeHonoured = range.hasRange && verdict.requestedStart >= 0 &&
                            range.first == verdict.requestedStart && lengthFits;
  } else {
    verdict.rangeHonoured = verdict.requestedStart == 0;
  }
  const bool wholeAnswerWanted = facts.acceptWholeAnswer && status == 200;
  // Bytes that do not start where the range asked would land at the wrong offset.
  verdict.refused = facts.requireRangeHonoured && !verdict.rangeHonoured && !wholeAnswerWanted;
  return verdict;
}

}  // namespace zephyl
