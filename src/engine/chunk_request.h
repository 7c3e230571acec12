// The two records of one chunk transfer: ChunkRequest (what to fetch) and ChunkState (callbacks,
// and what the client found: the answer, the outcome, what carries over between attempts and
// statistics). The planner owns both and keeps them alive until doneFuture is ready. Between
// submission and the done signal only the client's worker running the chunk touches the state
// (one attempt at a time); the planner reads it after the done signal. cancelled and
// receivedUpTo are atomic: they are read while the chunk runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>

namespace zephyl {

struct ChunkRequest {
  ChunkRequest() = default;
  ChunkRequest(std::string url, int32_t chunkId, std::function<std::string()> rangeProvider)
      : url(std::move(url)), chunkId(chunkId), rangeProvider(std::move(rangeProvider)) {}
  ChunkRequest(const ChunkRequest&) = delete;
  ChunkRequest& operator=(const ChunkRequest&) = delete;

  std::string url;  // the request's URL, unchanged
  int32_t chunkId = 0;
  // Range header value ("start-end" or "start-", decimal) for the next attempt; asked afresh at
  // every submission so that a retry starts after the bytes already stored. Empty function or
  // empty text: no Range header.
  std::function<std::string()> rangeProvider;
  // If-Range value for the next attempt: the validator the stored bytes belong to, so that a
  // server whose resource changed answers with the whole new resource instead of a part of it.
  // Asked afresh at every submission; empty function or empty text: no If-Range header.
  std::function<std::string()> ifRangeProvider;
  // Asked on the worker after an attempt that ended well: true when the request has more to ask
  // for, and the worker goes on with another attempt at once (rangeProvider tells its range),
  // on the connection the last one used. Empty function: one successful attempt ends the chunk.
  std::function<bool()> hasMore;
  // Set by the planner on any thread: the connection of the current attempt is closed when the
  // attempt ends instead of being kept for the next one (a connection far slower than others).
  std::atomic<bool> dropConnection{false};
  // Set before submission: every piece of the body goes to onData as it arrives instead of in
  // batches (a stream, whose receiver must see its first bytes at once).
  bool handOnAtOnce = false;
  // Set by HttpChunkClient::cancel on any thread; workers poll it.
  std::atomic<bool> cancelled{false};
};

// What the answer of the current attempt says, judged from its status and headers (see
// engine/answer_judge.h). Reset at every submission; the fields after requestedEnd are filled
// when the first body bytes arrive (before onConnected), the length fields only for an answer
// that carries data.
struct ChunkAnswer {
  std::string requestedRange;   // the rangeProvider text of this attempt
  int64_t requestedStart = -1;  // its first byte (0 without a range), -1 if the text is unreadable
  int64_t requestedEnd = -1;    // its last byte, -1 for an open range
  // The answer carried a readable "bytes first-last/total" with first <= last < total.
  bool hasContentRange = false;
  int64_t contentRangeStart = -1;
  int64_t contentRangeEnd = -1;
  int64_t contentRangeTotal = -1;         // -1 when not stated
  bool contentRangeTotalUnknown = false;  // the total was "*" or not a decimal number
  int64_t bodyLength = -1;                // libcurl's content length of the answer, -1: unknown
  // The resource's whole length: the Content-Range total when stated, else the length libcurl
  // reports for the body (for a 206 without a stated total, the part's length only), -1 when
  // neither is known; 0 until an answer with data arrived. totalLengthKnown is true only when
  // contentLength is surely the whole resource: a stated Content-Range total, or a 200 answer
  // with a known length.
  int64_t contentLength = 0;
  bool totalLengthKnown = false;
  // 206 whose Content-Range starts at requestedStart and whose body, when its length is stated,
  // is exactly that range long; or 200 (whole resource) for a range starting at 0.
  bool rangeHonoured = false;
  // The answer's range validator: its ETag when that is strong, else its Last-Modified date,
  // else empty. A strong ETag keeps its quotes, so the two kinds never look alike.
  std::string validator;
};

// How the chunk's current attempt went: its status and error. Reset at every attempt by
// assigning a fresh record; what carries over between attempts is in ChunkHistory.
struct ChunkOutcome {
  int32_t httpCode = 0;     // status of this attempt's answer once body bytes arrived, else 0
  int32_t finalStatus = 0;  // status of this attempt's last answer, with or without a body
  // Last attempt: the libcurl result, 1000 for a bad HTTP status, 1001 for a refused answer, 2
  // when no libcurl handle could be made or the pool refused the job. Two results are the
  // client's own: CURLE_OPERATION_TIMEDOUT when no byte came for the policy's stall time, and
  // CURLE_WEIRD_SERVER_REPLY when a 206 sent more bytes than its Content-Range announced (those
  // past it are never handed to onData).
  int32_t errorCode = 0;
  // Text for errorCode: libcurl's detailed account of a libcurl failure when it gave one (why a
  // certificate was refused, which address could not be reached), else its text for the code.
  std::string errorMsg;
  // The cause (ZPResponse::CAUSE_*) of a failure without a usable status: which network failure
  // (see engine/failure_cause.h); CAUSE_NONE for a success.
  int32_t networkCause = 0;
  bool connected = false;      // this attempt's first body bytes were seen; cleared per submission
  bool answerRefused = false;  // the answer was refused before any byte was written
  bool rangeFilled = false;    // onData had every byte of the chunk; the rest was not needed
};

// What carries over from attempt to attempt of the chunk: the retries used, the host in use,
// and the writer's failure. Never reset while the chunk runs.
struct ChunkHistory {
  int32_t writeErrorCode = 0;  // reported by the writer through onData
  bool writeFailed = false;    // onData returned false at least once; never cleared
  std::string writeErrorMsg;   // reported by the writer through onData
  int32_t serverErrorCount = 0;  // same-host retries used after failures with an HTTP status
  int32_t netErrorCount = 0;     // same-host retries used after failures without one
  int32_t domainIndex = -1;      // -1: the request's host; n: entry n of the alternative hosts
};

// What the chunk's attempts add to the download's metrics, over all attempts.
struct ChunkStats {
  // Response header lines, name lower-cased; a later line replaces an earlier one of the same
  // name. Kept over all attempts and redirects: judge one answer by ChunkAnswer instead.
  std::map<std::string, std::string> headers;
  std::unordered_set<std::string> domains;    // every host fetched from
  std::unordered_set<std::string> remoteIps;  // every primary IP reported by libcurl
  std::unordered_set<std::string> cdns;       // every value of a "cdn" response header
  // Bytes accepted by onData over all attempts. An onData that fills the range and refuses the
  // rest (outcome.rangeFilled) adds the part it stored itself.
  int64_t downloadedSize = 0;
  int64_t endTimeMs = 0;  // from the client's creation to the end of the last attempt
};

struct ChunkState {
  ChunkState() = default;
  ChunkState(const ChunkState&) = delete;
  ChunkState& operator=(const ChunkState&) = delete;

  // Callbacks, set by the planner before the first submission; both run on a pool worker.
  //
  // Told once per attempt when the first body bytes of an acceptable answer (200 or 206) arrive,
  // before any of them reaches onData; answer is filled by then. Returning false refuses the
  // answer: nothing of it is written and the chunk ends at once as a final failure (no retry,
  // outcome.answerRefused set). Also called, when the attempt has not connected, on cancellation
  // with (0, 0) and on final failure with (httpCode, contentLength), outcome.errorCode then
  // being non-zero; the result is ignored there.
  std::function<bool(int32_t httpCode, int64_t contentLength)> onConnected;
  // Stores received body bytes; false means they were not stored (the transfer then stops). When
  // it sets outcome.rangeFilled before returning false, the chunk has every byte it needs (the
  // server sent more than asked) and the attempt ends as a success instead.
  std::function<bool(int32_t chunkId, int32_t length, const uint8_t* data)> onData;
  // Told once after done is set, on the worker that finished the chunk (or the submitter when the
  // pool refused it). Must not throw.
  std::function<void()> onDone;

  // Set by the planner: refuse by itself an answer whose first byte is not the first byte the
  // range asked for (see ChunkAnswer::rangeHonoured), before onConnected is told.
  bool requireRangeHonoured = true;
  // Set by the planner: a 200 answer (the whole resource from byte 0) reaches onConnected even
  // when the range started later, so that the planner can let it take the download over.
  bool acceptWholeAnswer = false;

  // Filled by the client.
  ChunkAnswer answer;
  ChunkOutcome outcome;
  ChunkHistory history;
  ChunkStats stats;

  // The offset just past the last body byte this attempt received (stored or still gathered
  // for onData); the requested start before any byte. Written by the worker, read by the planner
  // while the chunk runs, to see how far a transfer really is.
  std::atomic<int64_t> receivedUpTo{0};

  // Set to true exactly once, when the chunk is finished (success, final failure, cancellation).
  std::promise<bool> done;
  std::future<bool> doneFuture{done.get_future()};
};

}  // namespace zephyl
