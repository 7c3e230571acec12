#include "engine/curl_transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "engine/answer_judge.h"
#include "engine/attempt_options.h"
#include "engine/byte_range.h"
#include "engine/failure_cause.h"
#include "engine/transfer_loop.h"

namespace zephyl {
namespace {

// One attempt as the transfer loop drives it; what its libcurl callbacks share. Made by
// startAttempt, held by the loop while it runs and by the jobs it hands to the disk workers.
// Threads: the loop thread runs start, check, finish and the callbacks, and owns every field but
// the one batch being stored; a disk worker stores that batch (onData), asks onConnected, and
// ends the attempt (conclude) once nothing of it is in flight. Each hand-off between the two goes
// through the loop's or the pool's queue, which orders the fields each side touched before it.
struct TransferContext final : LoopTransfer, std::enable_shared_from_this<TransferContext> {
  bool start(CurlEasy& easy) override;
  CURLcode check(std::chrono::steady_clock::time_point now, int* waitMs) override;
  void finish(CURL* easy, CURLcode result) override;

  // Set at construction.
  ChunkWorkers* workers = nullptr;
  ChunkRequest* request = nullptr;
  ChunkState* state = nullptr;
  AttemptSetup setup;
  AttemptEnded onEnded;
  bool firstOfJob = false;

  // Loop thread, while the easy handle is the attempt's (null before start and after finish).
  CURL* handle = nullptr;
  HeaderList headers;
  bool optionsSet = false;
  // Content-Range of the answer being received. Each status line starts a new answer (a
  // redirect, an interim 1xx), so an earlier answer's value never describes the final one.
  std::string contentRange;
  bool hasContentRange = false;
  std::string etag;          // of the answer being received, like contentRange
  std::string lastModified;  // of the answer being received, like contentRange
  bool badStatus = false;    // the answer's status is not 200/206: its body is not data
  bool refused = false;      // the answer was refused before any byte was written
  // A 206 announces its span in Content-Range; bytes past it have no stated place.
  int64_t answerSpan = -1;  // -1: no bound (a 200, or the first bytes not seen yet)
  int64_t answerBytes = 0;  // body bytes of the accepted answer so far
  bool overran = false;     // the answer sent more bytes than its Content-Range announced

  // Body bytes received but not yet handed to onData: gathered so that the sink sees a few large
  // writes instead of one per libcurl callback. filling takes what arrives while writing (the
  // batch in flight, touched only by its disk job until writeDone) is stored.
  std::vector<uint8_t> filling;
  std::chrono::steady_clock::time_point fillingSince;  // when its first byte came
  std::vector<uint8_t> writing;
  bool writeInFlight = false;
  bool pausedForDisk = false;  // both batches full: paused until the one in flight is stored
  bool stopped = false;  // onData refused a batch: the transfer ends (see state.outcome.rangeFilled)
  // onConnected is being asked on a disk worker; the transfer is paused until it answered.
  bool answerPending = false;
  // An answer without body bytes whose onConnected is asked when the attempt concludes.
  bool askBodiless = false;
  // What libcurl said when resumed: a failure ends the transfer with it (a body the callback
  // refused within the resume, or a refusal to resume).
  CURLcode resumeResult = CURLE_OK;
  bool bodyRefused = false;  // onBody returned 0: the transfer can only end as a write error
  bool reuseForbidden = false;  // the connection is closed at the end (request.dropConnection)
  bool ended = false;           // libcurl is done with the attempt (finish ran)
  CURLcode endResult = CURLE_OK;

  // Stall watch: the time since the count of received bytes (header lines and body) last
  // changed.
  int64_t stallTimeoutMs = 0;  // 0: no watch
  std::chrono::steady_clock::time_point lastByteAt;
  int64_t headerBytes = 0;
  int64_t lastCount = 0;
  bool stalled = false;
  // Rate limits: the body is held back while their buckets are in debt. held: onBody paused the
  // transfer for them, and check resumes it.
  TransferLimits limits;
  bool held = false;
  // libcurl's detailed text of the attempt's failure; empty when it had none.
  char errorText[CURL_ERROR_SIZE] = {};
};

// Per-attempt fields: what this attempt asks for, and no answer yet. What carries over between
// attempts (state.history) stays.
void beginAttempt(ChunkState& state, const std::string& range) {
  state.outcome = ChunkOutcome{};
  state.answer = ChunkAnswer{};
  state.answer.requestedRange = range;
  requestedBytesOf(range, &state.answer.requestedStart, &state.answer.requestedEnd);
  state.receivedUpTo.store(std::max<int64_t>(0, state.answer.requestedStart),
                           std::memory_order_relaxed);
}

// Judges the answer being received from its status and headers; fills the answer fields of the
// state (the length fields only for a data answer, so that an error page leaves them at 0).
AnswerVerdict judge(TransferContext& context, long code) {
  ChunkState& state = *context.state;
  AnswerFacts facts;
  facts.status = static_cast<int32_t>(code);  // three digits
  facts.requestedRange = state.answer.requestedRange;
  if (context.hasContentRange) facts.contentRange = context.contentRange;
  curl_off_t bodyLength = -1;
  if (curl_easy_getinfo(context.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &bodyLength) !=
      CURLE_OK) {
    bodyLength = -1;
  }
  facts.bodyLength = bodyLength;
  facts.etag = context.etag;
  facts.lastModified = context.lastModified;
  facts.requireRangeHonoured = state.requireRangeHonoured;
  facts.acceptWholeAnswer = state.acceptWholeAnswer;
  AnswerVerdict verdict = judgeAnswer(facts);

  state.answer.requestedStart = verdict.requestedStart;
  state.answer.requestedEnd = verdict.requestedEnd;
  state.answer.hasContentRange = verdict.hasContentRange;
  state.answer.contentRangeStart = verdict.contentRangeStart;
  state.answer.contentRangeEnd = verdict.contentRangeEnd;
  state.answer.contentRangeTotal = verdict.contentRangeTotal;
  state.answer.contentRangeTotalUnknown = verdict.contentRangeTotalUnknown;
  state.answer.rangeHonoured = verdict.rangeHonoured;
  if (verdict.carriesData) {
    state.answer.bodyLength = bodyLength;
    state.answer.contentLength = verdict.contentLength;
    state.answer.totalLengthKnown = verdict.totalLengthKnown;
    state.answer.validator = verdict.validator;
  }
  return verdict;
}

// What the first body bytes of an answer (or the end of an answer without any) decide.
enum class FirstBytes {
  kStop,    // a bad status or a refused answer: the transfer stops
  kAccept,  // data, and no onConnected to ask
  kAsk,     // data, once onConnected has accepted it
};

// Judges the answer before any byte of it reaches onData; loop thread.
FirstBytes judgeFirstBytes(TransferContext& context) {
  ChunkState& state = *context.state;
  const int32_t chunkId = context.request->chunkId;
  long code = 0;
  if (curl_easy_getinfo(context.handle, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) code = 0;
  state.outcome.httpCode = static_cast<int32_t>(code);
  ZP_LOG(Verbose) << "httpCode: " << state.outcome.httpCode;
  const AnswerVerdict verdict = judge(context, code);
  if (!verdict.carriesData) {
    // An error page (404, 500, ...) is never data; the attempt ends as "http code error".
    context.badStatus = true;
    return FirstBytes::kStop;
  }
  if (verdict.hasContentRange && code == 206) {
    const int64_t lastIndex = verdict.contentRangeEnd - verdict.contentRangeStart;
    context.answerSpan = lastIndex < INT64_MAX ? lastIndex + 1 : INT64_MAX;
  }
  if (verdict.contentRangeTotal >= 0) {
    ZP_LOG(Verbose) << "contentLength: " << state.answer.contentLength;
  } else {
    ZP_LOG(Verbose) << "total contentLength: " << state.answer.contentLength;
  }
  if (verdict.refused) {
    ZP_LOG(Warn) << "chunkId: " << chunkId << ", answer does not fit range "
                 << state.answer.requestedRange << ", httpCode: " << state.outcome.httpCode
                 << ", content-range: " << context.contentRange
                 << ", body length: " << state.answer.bodyLength;
    context.refused = true;
    state.outcome.answerRefused = true;
    return FirstBytes::kStop;
  }
  if (!state.onConnected) {
    state.outcome.connected = true;
    return FirstBytes::kAccept;
  }
  return FirstBytes::kAsk;
}

// Asks onConnected about the judged answer; a disk worker (the planner may look at the disk).
bool askConnected(const ChunkState& state) {
  try {
    return state.onConnected(state.outcome.httpCode, state.answer.contentLength);
  } catch (...) {
    return false;
  }
}

// What onConnected said: the attempt has connected either way; a refusal ends it.
void noteConnected(TransferContext& context, bool accepted) {
  ChunkState& state = *context.state;
  state.outcome.connected = true;
  if (accepted) return;
  ZP_LOG(Warn) << "chunkId: " << context.request->chunkId
               << ", answer refused, httpCode: " << state.outcome.httpCode;
  context.refused = true;
  state.outcome.answerRefused = true;
}

// The answer ended without any body byte; loop thread. A 200 or 206 is judged now, as if its
// (empty) body had begun, and onConnected is asked when the attempt concludes; any other status
// is noted like a bad status whose page was empty.
void judgeBodilessAnswer(TransferContext& context) {
  long code = 0;
  if (curl_easy_getinfo(context.handle, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return;
  if (isDataStatus(code)) {
    context.askBodiless = judgeFirstBytes(context) == FirstBytes::kAsk;
    return;
  }
  if (code <= 0) return;
  context.state->outcome.httpCode = static_cast<int32_t>(code);
  context.badStatus = true;
  (void)judge(context, code);
}
// libcurl header callback: one call per header line, for every answer including redirects.
size_t onHeaderLine(char* buffer, size_t size, size_t count, void* userData) {
  auto& context = *static_cast<TransferContext*>(userData);
  const size_t length = size * count;
  context.headerBytes += static_cast<int64_t>(length);
  try {
    const std::string line(buffer, length);
    if (line.compare(0, 5, "HTTP/") == 0) {
      context.contentRange.clear();
      context.hasContentRange = false;
      context.etag.clear();
      context.lastModified.clear();
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return length;  // status line, blank end of the block
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The value starts after the optional blanks behind the colon; line ends are dropped.
    size_t begin = colon + 1;
    while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
    std::string value;
    value.reserve(line.size() - begin);
    for (size_t i = begin; i < line.size(); ++i) {
      if (line[i] != '\r' && line[i] != '\n') value.push_back(line[i]);
    }
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();

    ChunkState& state = *context.state;
    if (name == "cdn") state.stats.cdns.insert(value);
    if (name == "content-range") {
      context.contentRange = value;
      context.hasContentRange = true;
    }
    if (name == "etag") context.etag = value;
    if (name == "last-modified") context.lastModified = value;
    state.stats.headers[name] = std::move(value);
  } catch (...) {
    return 0;  // out of memory: libcurl ends the transfer with a write error
  }
  return length;
}

// Gathered body bytes are handed on when the batch is full or has waited this long, so that a
// slow link still shows progress and stores its bytes steadily.
constexpr size_t kBatchBytes = 256 * 1024;
constexpr auto kBatchWait = std::chrono::milliseconds(200);

// Hands bytes to onData on a disk worker. False when onData refused them: the transfer must stop,
// as a success when the chunk is complete (state.outcome.rangeFilled), else as a write failure.
bool store(TransferContext& context, const std::vector<uint8_t>& bytes) {
  ChunkState& state = *context.state;
  if (bytes.empty()) return true;
  bool stored = true;
  if (state.onData) {
    try {
      stored = state.onData(context.request->chunkId, static_cast<int32_t>(bytes.size()),
                            bytes.data());
    } catch (...) {
      stored = false;
    }
  }
  if (!stored) {
    // The chunk is complete and the server sent past its end: not a failure.
    if (state.outcome.rangeFilled) return false;
    state.history.writeFailed = true;
    ZP_LOG(Error) << "WriteFunction failed";
    return false;
  }
  state.stats.downloadedSize += static_cast<int64_t>(bytes.size());
  return true;
}

// Runs job on a disk worker; on the calling thread when the pool takes no more jobs (it is being
// shut down, or has no thread), so that an attempt always ends.
void onDisk(TransferContext& context, std::function<void()> job) {
  ThreadPool::Posted posted = ThreadPool::Posted::kNoThread;
  try {
    posted = context.workers->disk().post(job);
  } catch (...) {
    posted = ThreadPool::Posted::kNoThread;
  }
  if (posted != ThreadPool::Posted::kQueued) job();
}

void writeDone(TransferContext& context, bool stored);
void concludeOnDisk(TransferContext& context);

// Loop thread: hands the filling batch to a disk worker. Requires: a batch to hand, none in
// flight, the transfer not stopped.
void handOff(TransferContext& context) {
  context.writing.swap(context.filling);
  context.filling.clear();
  context.writeInFlight = true;
  std::shared_ptr<TransferContext> self = context.shared_from_this();
  onDisk(context, [self] {
    const bool stored = store(*self, self->writing);
    if (!self->workers->loop().post([self, stored] { writeDone(*self, stored); })) {
      writeDone(*self, stored);  // no loop to go back to: it stopped, the transfer with it
    }
  });
}

bool mayHandOff(const TransferContext& context) {
  return !context.writeInFlight && !context.stopped && !context.filling.empty();
}

// Loop thread: ends the attempt on a disk worker once nothing of it is in flight.
void concludeWhenIdle(TransferContext& context) {
  if (!context.ended || context.writeInFlight || context.answerPending) return;
  std::shared_ptr<TransferContext> self = context.shared_from_this();
  onDisk(context, [self] { concludeOnDisk(*self); });
}

// Resumes a paused transfer; loop thread. A refusal ends it at the next check.
void resume(TransferContext& context) {
  if (context.handle == nullptr) return;
  const CURLcode result = curl_easy_pause(context.handle, CURLPAUSE_CONT);
  if (result != CURLE_OK && context.resumeResult == CURLE_OK) context.resumeResult = result;
}

// Loop thread: the batch in flight was stored (or refused).
void writeDone(TransferContext& context, bool stored) {
  context.writeInFlight = false;
  context.writing.clear();
  if (!stored) {
    context.stopped = true;
    context.filling.clear();  // received after the refusal: nowhere to go
  }
  if (context.ended) {
    concludeWhenIdle(context);
    return;
  }
  if (context.stopped) return;  // check ends the transfer
  if (mayHandOff(context) &&
      (context.filling.size() >= kBatchBytes || context.request->handOnAtOnce)) {
    handOff(context);
  }
  if (context.pausedForDisk && context.filling.size() < kBatchBytes) {
    context.pausedForDisk = false;
    resume(context);
  }
}

// Body bytes of the answer, gathered into the filling batch: length when taken, 0 to end the
// transfer, or CURL_WRITEFUNC_PAUSE.
size_t takeBody(TransferContext& context, char* buffer, size_t length) {
  size_t wanted = length;
  try {
    if (context.stopped || context.refused || context.badStatus) return 0;
    if (!context.state->outcome.connected) {
      // Paused, libcurl keeps this buffer and hands it over again once resumed.
      if (context.answerPending) return CURL_WRITEFUNC_PAUSE;
      const FirstBytes verdict = judgeFirstBytes(context);
      if (verdict == FirstBytes::kStop) return 0;
      if (verdict == FirstBytes::kAsk) {
        // The planner decides on a disk worker; no byte is taken before it has.
        context.answerPending = true;
        std::shared_ptr<TransferContext> self = context.shared_from_this();
        onDisk(context, [self] {
          const bool accepted = askConnected(*self->state);
          auto answered = [self, accepted] {
            self->answerPending = false;
            noteConnected(*self, accepted);
            if (self->ended) {
              concludeWhenIdle(*self);
            } else {
              resume(*self);
            }
          };
          if (!self->workers->loop().post(answered)) answered();
        });
        return CURL_WRITEFUNC_PAUSE;
      }
    }
    // Both batches full: the transfer waits for the disk, which resumes it (writeDone).
    if (context.filling.size() >= kBatchBytes) {
      if (context.writeInFlight) {
        context.pausedForDisk = true;
        return CURL_WRITEFUNC_PAUSE;
      }
      handOff(context);
    }
    // With no limit set this is the one check per buffer. Held back, libcurl keeps this buffer
    // (one receive buffer, and it reads no more from the socket, so the server is slowed by TCP
    // itself) and hands it over again once the loop resumes the transfer.
    if (context.limits.any()) {
      if (context.limits.waitMicros() > 0) {
        context.held = true;
        return CURL_WRITEFUNC_PAUSE;
      }
      context.limits.charge(static_cast<int64_t>(length));
    }
    if (context.answerSpan >= 0 &&
        context.answerSpan - context.answerBytes < static_cast<int64_t>(length)) {
      wanted = static_cast<size_t>(std::max<int64_t>(0, context.answerSpan - context.answerBytes));
      context.overran = true;
    }
    context.answerBytes += static_cast<int64_t>(wanted);
    context.state->receivedUpTo.fetch_add(static_cast<int64_t>(wanted), std::memory_order_relaxed);
    if (wanted > 0) {
      if (context.filling.empty()) {
        context.fillingSince = std::chrono::steady_clock::now();
        context.filling.reserve(kBatchBytes);
      }
      context.filling.insert(context.filling.end(), buffer, buffer + wanted);
    }
    if (context.overran) {
      // What fitted the announced span is stored when the attempt ends; the rest has no place.
      ZP_LOG(Warn) << "chunkId: " << context.request->chunkId
                   << ", answer longer than its content-range: " << context.contentRange;
      return 0;
    }
    // A stream's receiver gets every piece as it comes: its first bytes must not wait for more.
    if (mayHandOff(context) &&
        (context.request->handOnAtOnce || context.filling.size() >= kBatchBytes)) {
      handOff(context);
    }
  } catch (...) {
    return 0;  // out of memory: libcurl ends the transfer with a write error
  }
  return length;
}

// libcurl write callback.
size_t onBody(char* buffer, size_t size, size_t count, void* userData) {
  auto& context = *static_cast<TransferContext*>(userData);
  const size_t length = size * count;
  const size_t taken = takeBody(context, buffer, length);
  if (taken != length && taken != CURL_WRITEFUNC_PAUSE) context.bodyRefused = true;
  return taken;
}

// libcurl progress callback: aborts the transfer once the request is cancelled. (check looks at
// the flag too, for the waits during which libcurl reports no progress.)
int onProgress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto& context = *static_cast<const TransferContext*>(userData);
  return context.request->cancelled.load(std::memory_order_relaxed) ? 1 : 0;
}

// The longest a transfer lets the loop sleep: how late a cancellation is noticed at worst.
constexpr int kWakeMs = 100;

// Whether no byte (header line or body) has arrived for the stall time; moves the stall clock
// on when some did. The body count starts again with each followed redirect: any change counts.
bool stallTimeIsUp(TransferContext& context, std::chrono::steady_clock::time_point now) {
  if (context.stallTimeoutMs <= 0) return false;
  curl_off_t bodyBytes = 0;
  if (curl_easy_getinfo(context.handle, CURLINFO_SIZE_DOWNLOAD_T, &bodyBytes) != CURLE_OK) {
    bodyBytes = 0;
  }
  const int64_t count = static_cast<int64_t>(bodyBytes) + context.headerBytes;
  if (count != context.lastCount) {
    context.lastCount = count;
    context.lastByteAt = now;
    return false;
  }
  return now - context.lastByteAt >= std::chrono::milliseconds(context.stallTimeoutMs);
}

// How long the loop may wait for the sockets: until the stall time is up, at most kWakeMs.
int waitMs(const TransferContext& context, std::chrono::steady_clock::time_point now) {
  if (context.stallTimeoutMs <= 0) return kWakeMs;
  const auto deadline = context.lastByteAt + std::chrono::milliseconds(context.stallTimeoutMs);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, kWakeMs));
}

// How long a held transfer waits before it looks at the limits again: until their buckets are out
// of debt, at most kWakeMs (a raised or lifted limit, a cancellation, are seen that soon).
int holdMs(const TransferContext& context) {
  const int64_t micros = context.limits.waitMicros();
  return static_cast<int>(std::clamp<int64_t>((micros + 999) / 1000, 1, kWakeMs));
}

// The end of an attempt that libcurl could not make a handle for.
AttemptEnd noHandle(ChunkState& state) {
  state.outcome.errorCode = ChunkErrors::kNoHandle;
  state.outcome.errorMsg = "Failed to initialize curl.";
  return AttemptEnd{};
}

AttemptCallbacks callbacksOf(TransferContext& context) {
  AttemptCallbacks callbacks;
  callbacks.body = &onBody;
  callbacks.header = &onHeaderLine;
  callbacks.progress = &onProgress;
  callbacks.data = &context;
  callbacks.errorText = context.errorText;
  return callbacks;
}

// Sets the attempt's options on the handle. False (nothing to set them on) when a handle had to
// be renewed and libcurl could not make one; *result is then untouched.
bool applyOptions(CurlEasy& easy, TransferContext& context, const AttemptSetup& setup,
                  CURLcode* result) {
  *result = setAttemptOptions(context.handle, setup, context.headers, callbacksOf(context));
  // libcurl keeps the receive buffer of an attempt it did not see through to its end (one
  // without a connection: a host that does not resolve, an address it cannot parse; some
  // cancelled ones), and from then on refuses every receive buffer size on that handle. A new
  // handle takes the options; the connections stay with the multi handle.
  if (*result != CURLE_BAD_FUNCTION_ARGUMENT) return true;
  if (!easy.renew()) return false;
  context.handle = easy.get();
  *result = setAttemptOptions(context.handle, setup, context.headers, callbacksOf(context));
  return true;
}

// The transfer's result once the received bytes are stored (stored: the last batch was, or there
// was none): a write that only stopped a full range is no failure, one that stopped an answer
// longer than its range is the server's.
CURLcode settleResult(const TransferContext& context, CURLcode result, bool stored) {
  const ChunkState& state = *context.state;
  // Whatever ended the attempt (the answer's end, a failure, a cancellation), the bytes it
  // received are good and are stored.
  if (!stored && result == CURLE_OK) result = CURLE_WRITE_ERROR;
  if (result == CURLE_WRITE_ERROR && state.outcome.rangeFilled) result = CURLE_OK;
  if (result == CURLE_WRITE_ERROR && context.overran && !state.history.writeFailed) {
    result = CURLE_WEIRD_SERVER_REPLY;
  }
  return result;
}

// The outcome's error code and text for result.
void describeOutcome(const TransferContext& context, CURLcode result) {
  ChunkState& state = *context.state;
  state.outcome.errorCode = static_cast<int32_t>(result);
  if (context.refused) {
    state.outcome.errorCode = ChunkErrors::kAnswerRefused;
    state.outcome.errorMsg = "answer refused";
  } else if (context.badStatus || (result == CURLE_OK && !isDataStatus(state.outcome.httpCode))) {
    // A bad status, or an answer without any body byte (httpCode still 0).
    state.outcome.errorCode = ChunkErrors::kHttpCode;
    state.outcome.errorMsg = "http code error";
  } else if (context.stalled && result == CURLE_OPERATION_TIMEDOUT) {
    state.outcome.errorMsg = std::string(curl_easy_strerror(result)) + ": no byte received for " +
                             std::to_string(context.stallTimeoutMs) + " ms";
  } else if (context.overran && result == CURLE_WEIRD_SERVER_REPLY) {
    state.outcome.errorMsg =
        std::string(curl_easy_strerror(result)) + ": answer longer than its range";
  } else if (result != CURLE_OK && context.errorText[0] != '\0') {
    // libcurl's own account of the failure, e.g. why a certificate was refused.
    state.outcome.errorMsg = context.errorText;
  } else {
    state.outcome.errorMsg = curl_easy_strerror(result);
  }
}

// The last answer's status and the address that answered, as the handle knows them.
void noteFinalAnswer(const TransferContext& context) {
  ChunkState& state = *context.state;
  long finalStatus = 0;
  state.outcome.finalStatus =
      curl_easy_getinfo(context.handle, CURLINFO_RESPONSE_CODE, &finalStatus) == CURLE_OK
          ? static_cast<int32_t>(finalStatus)
          : 0;
  char* ip = nullptr;
  if (curl_easy_getinfo(context.handle, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr &&
      *ip != '\0') {
    state.stats.remoteIps.insert(ip);
  }
}

// Tells the client how the attempt ended; what it throws ends nothing more here.
void tellEnded(TransferContext& context, const AttemptEnd& end) {
  try {
    context.onEnded(end);
  } catch (...) {
    // The client ends its chunk on every path before it can throw.
  }
}

// A disk worker, once nothing of the attempt is in flight: stores the last batch, asks
// onConnected about an answer without body bytes, and tells the client the outcome.
void concludeOnDisk(TransferContext& context) {
  ChunkState& state = *context.state;
  bool stored = !context.stopped;
  if (stored && !context.filling.empty()) stored = store(context, context.filling);
  context.filling = std::vector<uint8_t>();
  context.writing = std::vector<uint8_t>();
  CURLcode result = settleResult(context, context.endResult, stored);
  if (context.askBodiless) noteConnected(context, askConnected(state));
  describeOutcome(context, result);
  if (state.outcome.errorCode != 0) {
    const AttemptSetup& setup = context.setup;
    const bool viaProxy = setup.proxy != nullptr && setup.proxy->setProxy;
    const std::string proxyHost = viaProxy ? urlHostOf(setup.proxy->proxy) : std::string();
    state.outcome.networkCause =
        networkCauseOf(state.outcome.errorCode, state.outcome.errorMsg, proxyHost);
    // A failure of the proxy names it (its host only: its URL may carry a password).
    if (state.outcome.networkCause == ZPResponse::CAUSE_PROXY_UNREACHABLE ||
        state.outcome.networkCause == ZPResponse::CAUSE_PROXY_REFUSED) {
      state.outcome.errorMsg =
          (proxyHost.empty() ? "proxy: " : "proxy " + proxyHost + ": ") + state.outcome.errorMsg;
    }
  }
  AttemptEnd end;
  end.started = true;
  end.optionsSet = context.optionsSet;
  end.refused = context.refused;
  tellEnded(context, end);
}

bool TransferContext::start(CurlEasy& easy) {
  std::shared_ptr<TransferContext> self = shared_from_this();
  if (firstOfJob && request->cancelled.load(std::memory_order_relaxed)) {
    onDisk(*this, [self] {
      AttemptEnd end;
      end.skipped = true;
      tellEnded(*self, end);
    });
    return false;
  }
  beginAttempt(*state, setup.range);
  // The easy handle is opened first: it initialises libcurl for the multi handle.
  if (!easy.open()) {
    onDisk(*this, [self] { tellEnded(*self, noHandle(*self->state)); });
    return false;
  }
  handle = easy.get();
  limits = setup.limits;
  CURLcode result = buildHeaders(setup, headers);
  if (result == CURLE_OK && !applyOptions(easy, *this, setup, &result)) {
    handle = nullptr;
    onDisk(*this, [self] { tellEnded(*self, noHandle(*self->state)); });
    return false;
  }
  optionsSet = result == CURLE_OK;
  stallTimeoutMs = std::max<int64_t>(0, setup.policy->stallTimeoutMs);
  // A request cancelled between its attempts (the next segment of a stopped download) never
  // reaches the server.
  if (optionsSet && request->cancelled.load(std::memory_order_relaxed)) {
    result = CURLE_ABORTED_BY_CALLBACK;
  }
  if (result != CURLE_OK) {
    finish(handle, result);
    return false;
  }
  lastByteAt = std::chrono::steady_clock::now();
  return true;
}

CURLcode TransferContext::check(std::chrono::steady_clock::time_point now, int* waitMs) {
  if (stopped) return CURLE_WRITE_ERROR;
  if (resumeResult != CURLE_OK) return resumeResult;
  if (request->cancelled.load(std::memory_order_relaxed)) return CURLE_ABORTED_BY_CALLBACK;
  // A slow connection the planner gives up on is closed when the attempt ends, not kept.
  if (!reuseForbidden && request->dropConnection.load(std::memory_order_relaxed)) {
    reuseForbidden = curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK;
  }
  if (held) {
    // Held back on purpose is not stalled: the stall clock stands still meanwhile.
    lastByteAt = now;
    if (limits.waitMicros() > 0) {
      *waitMs = std::min(*waitMs, holdMs(*this));
    } else {
      // libcurl may hand the kept buffer over (onBody) within the call, which may hold again.
      held = false;
      resume(*this);
      if (resumeResult != CURLE_OK) return resumeResult;
      if (stopped) return CURLE_WRITE_ERROR;
    }
  }
  if (pausedForDisk || answerPending) lastByteAt = now;
  // A batch waiting for more bytes that do not come is handed on all the same.
  if (!filling.empty()) {
    const auto due = fillingSince + kBatchWait;
    if (now >= due) {
      if (mayHandOff(*this)) handOff(*this);
    } else {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
      *waitMs = std::min<int>(*waitMs, static_cast<int>(std::max<int64_t>(1, left)));
    }
  }
  if (stallTimeIsUp(*this, now)) {
    stalled = true;
    return CURLE_OPERATION_TIMEDOUT;
  }
  *waitMs = std::min(*waitMs, zephyl::waitMs(*this, now));
  return CURLE_OK;
}

void TransferContext::finish(CURL* easy, CURLcode result) {
  // A body refused within a resume may reach libcurl's end as a success when the whole answer
  // had arrived meanwhile: the refusal stands.
  if (result == CURLE_OK && bodyRefused) result = CURLE_WRITE_ERROR;
  handle = easy;
  ended = true;
  endResult = result;
  if (result == CURLE_OK && !state->outcome.connected && !refused && !badStatus) {
    // An answer without a single body byte never reached the write callback: an empty resource
    // (200 with length 0), or a status that only a header block carries (416).
    judgeBodilessAnswer(*this);
  }
  noteFinalAnswer(*this);
  // The handle goes back to the loop; its connections stay with the multi handle.
  handle = nullptr;
  concludeWhenIdle(*this);
}

}  // namespace

bool startAttempt(ChunkWorkers& workers, ChunkRequest& request, ChunkState& state,
                  AttemptSetup setup, bool firstOfJob, AttemptEnded ended,
                  std::error_code* refusal) {
  auto attempt = std::make_shared<TransferContext>();
  attempt->workers = &workers;
  attempt->request = &request;
  attempt->state = &state;
  attempt->setup = std::move(setup);
  attempt->onEnded = std::move(ended);
  attempt->firstOfJob = firstOfJob;
  return workers.loop().add(std::move(attempt), refusal);
}

}  // namespace zephyl
