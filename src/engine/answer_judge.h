// Judging one HTTP answer to a chunk request: from what the answer's status line and headers
// state, and what the request asked for, decide whether its body is data, how it fits the asked
// range, what it tells about the resource's length and which validator it carries. A pure
// function of plain records: no I/O, no libcurl, no state; any input is judged, none makes it
// fail. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zephyl {

// What one answer said, and what the request that drew it asked for. Every combination of
// values is allowed; texts may hold any bytes.
struct AnswerFacts {
  int32_t status = 0;  // HTTP status of the answer; 0 or odd values are judged too
  // The Range value the request asked with, "first-last" or "first-" in decimal; empty when the
  // request had no Range header (the whole resource from byte 0).
  std::string requestedRange;
  // The Content-Range value as received (blanks around it removed); nullopt when the answer had
  // no such header.
  std::optional<std::string> contentRange;
  int64_t bodyLength = -1;   // the body's length as its framing states it; -1 when unknown
  std::string etag;          // ETag value, empty when absent
  std::string lastModified;  // Last-Modified value, empty when absent
  // Refuse a data answer whose first byte is not the first byte asked for.
  bool requireRangeHonoured = true;
  // A 200 (the whole resource from byte 0) is not refused even when the range started later:
  // the caller may let it take the download over.
  bool acceptWholeAnswer = false;
};

// The judgement of one answer. Fields a status does not speak about keep their defaults.
struct AnswerVerdict {
  // What the request asked for: (0, -1) without a range, (-1, -1) for an unreadable range text,
  // requestedEnd -1 for an open range.
  int64_t requestedStart = -1;
  int64_t requestedEnd = -1;
  // 200 or 206: the body is the resource's bytes. Any other status is an error page (or a 416,
  // see contentRangeTotal) whose body is never data.
  bool carriesData = false;
  // A data answer the client must not hand on: it does not start at the asked byte (and is not a
  // whole answer the caller accepts), or it contradicts itself. Its bytes are never written.
  bool refused = false;
  // Data answers only. contentLength: the resource's length, that is the Content-Range total of
  // a 206 when stated, else the body's length (for a 206 without a stated total: the part's
  // length only), -1 when neither is known; 0 for answers without data. totalLengthKnown: true
  // only when contentLength surely is the whole resource's length (a stated total, or a 200 with
  // a known body length).
  int64_t contentLength = 0;
  bool totalLengthKnown = false;
  // A 206's Content-Range "bytes first-last/total" was readable and consistent in itself
  // (first <= last, last below a stated total).
  bool hasContentRange = false;
  int64_t contentRangeStart = -1;
  int64_t contentRangeEnd = -1;
  // The total stated by the Content-Range of a 206, or of a 416 ("bytes */total"); -1 when not
  // stated. contentRangeTotalUnknown: the header was there but stated no readable total ("*",
  // no total at all, anything else, or a range reaching past it).
  int64_t contentRangeTotal = -1;
  bool contentRangeTotalUnknown = false;
  // The answer starts where the range asked: a 206 whose Content-Range starts at requestedStart
  // and whose body, when its length is known, is exactly that range long; or a 200 (the whole
  // resource) to a request starting at byte 0.
  bool rangeHonoured = false;
  // Data answers only: the ETag when it is strong (quoted, quotes kept), else the Last-Modified
  // date, else empty. A weak ETag ("W/...") never joins parts of two answers and is ignored.
  std::string validator;
};

// 200 (the whole resource) or 206 (a part): a status whose body is the resource's bytes.
constexpr bool isDataStatus(long status) { return status == 200 || status == 206; }

// Judges one answer. Never throws but for memory exhaustion while copying the validator.
[[nodiscard]] AnswerVerdict judgeAnswer(const AnswerFacts& facts);

}  // namespace zephyl
