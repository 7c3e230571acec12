#include "engine/curl_transfer.h"

#include <curl/curl.h>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "engine/answer_judge.h"
#include "engine/byte_range.h"
#include "engine/failure_cause.h"

namespace zephyl {
namespace {

// What the callbacks of one attempt share; lives on the transfer's stack during
// curl_easy_perform.
struct TransferContext {
  CURL* handle = nullptr;
  ChunkRequest* request = nullptr;
  ChunkState* state = nullptr;
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
  // writes instead of one per libcurl callback (at most 16 KiB each). The storage is the
  // worker's, reused by its attempts.
  std::vector<uint8_t>* batch = nullptr;
  size_t batchSize = 0;
  std::chrono::steady_clock::time_point batchSince;  // when its first byte came
  bool stopped =
      false;  // onData refused a batch: the transfer ends (see state.outcome.rangeFilled)

  // Stall watch: the time since the count of received bytes (header lines and body) last
  // changed. Touched only by the thread running the attempt.
  int64_t stallTimeoutMs = 0;  // 0: no watch
  std::chrono::steady_clock::time_point lastByteAt;
  int64_t headerBytes = 0;
  int64_t lastCount = 0;
  bool stalled = false;
  // Rate limits: the body is held back while their buckets are in debt. held: onBody paused the
  // transfer for them, and the loop resumes it (see resumeWhenDue).
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

// First body bytes of an attempt: judge the answer before any byte of it reaches onData.
// Returns false when the transfer must stop (bad status or refused answer).
bool acceptAnswer(TransferContext& context) {
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
    return false;
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
    return false;
  }
  bool accepted = true;
  if (state.onConnected) {
    try {
      accepted = state.onConnected(state.outcome.httpCode, state.answer.contentLength);
    } catch (...) {
      accepted = false;
    }
  }
  state.outcome.connected = true;
  if (!accepted) {
    ZP_LOG(Warn) << "chunkId: " << chunkId
                 << ", answer refused, httpCode: " << state.outcome.httpCode;
    context.refused = true;
    state.outcome.answerRefused = true;
    return false;
  }
  return true;
}

// The answer ended without any body byte. A 200 or 206 is judged now, as if its (empty) body
// had begun; any other status is noted like a bad status whose page was empty.
void judgeBodilessAnswer(TransferContext& context) {
  long code = 0;
  if (curl_easy_getinfo(context.handle, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return;
  if (isDataStatus(code)) {
    (void)acceptAnswer(context);
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

// Hands the gathered bytes to onData. False when onData refused them: the transfer must stop,
// as a success when the chunk is complete (state.outcome.rangeFilled), else as a write failure.
bool flushBatch(TransferContext& context) {
  ChunkState& state = *context.state;
  const size_t size = context.batchSize;
  if (size == 0) return !context.stopped;
  context.batchSize = 0;
  bool stored = true;
  if (state.onData) {
    try {
      stored =
          state.onData(context.request->chunkId, static_cast<int32_t>(size), context.batch->data());
    } catch (...) {
      stored = false;
    }
  }
  if (!stored) {
    context.stopped = true;
    // The chunk is complete and the server sent past its end: not a failure.
    if (state.outcome.rangeFilled) return false;
    state.history.writeFailed = true;
    ZP_LOG(Error) << "WriteFunction failed";
    return false;
  }
  state.stats.downloadedSize += static_cast<int64_t>(size);
  return true;
}

// Hands on a batch that has waited kBatchWait; false as flushBatch.
bool flushBatchIfDue(TransferContext& context, std::chrono::steady_clock::time_point now) {
  if (context.batchSize == 0 || now - context.batchSince < kBatchWait) return !context.stopped;
  return flushBatch(context);
}

// libcurl write callback: body bytes of the answer, gathered into the batch.
size_t onBody(char* buffer, size_t size, size_t count, void* userData) {
  auto& context = *static_cast<TransferContext*>(userData);
  const size_t length = size * count;
  size_t wanted = length;
  try {
    if (context.stopped) return 0;
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
    if (!context.state->outcome.connected && !acceptAnswer(context)) return 0;
    if (context.answerSpan >= 0 &&
        context.answerSpan - context.answerBytes < static_cast<int64_t>(length)) {
      wanted = static_cast<size_t>(std::max<int64_t>(0, context.answerSpan - context.answerBytes));
      context.overran = true;
    }
    context.answerBytes += static_cast<int64_t>(wanted);
    context.state->receivedUpTo.fetch_add(static_cast<int64_t>(wanted), std::memory_order_relaxed);
    std::vector<uint8_t>& batch = *context.batch;
    size_t taken = 0;
    while (taken < wanted) {
      if (context.batchSize == 0) context.batchSince = std::chrono::steady_clock::now();
      const size_t part = std::min(wanted - taken, batch.size() - context.batchSize);
      std::memcpy(batch.data() + context.batchSize, buffer + taken, part);
      context.batchSize += part;
      taken += part;
      if (context.batchSize == batch.size() && !flushBatch(context)) return 0;
    }
    if (context.overran) {
      // What fitted the announced span is stored; the rest has no place.
      if (!flushBatch(context)) return 0;
      ZP_LOG(Warn) << "chunkId: " << context.request->chunkId
                   << ", answer longer than its content-range: " << context.contentRange;
      return 0;
    }
    // A stream's receiver gets every piece as it comes: its first bytes must not wait for more.
    if (context.request->handOnAtOnce && context.batchSize > 0 && !flushBatch(context)) return 0;
    if (!flushBatchIfDue(context, std::chrono::steady_clock::now())) return 0;
  } catch (...) {
    return 0;  // out of memory while logging: libcurl ends the transfer with a write error
  }
  return length;
}

// libcurl progress callback: aborts the transfer once the request is cancelled. (The transfer
// loop checks the flag too, for the waits during which libcurl reports no progress.)
int onProgress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto& context = *static_cast<const TransferContext*>(userData);
  return context.request->cancelled.load(std::memory_order_relaxed) ? 1 : 0;
}

// A peer that closes its end makes a later write raise SIGPIPE, whose default action ends the
// process. libcurl sends with MSG_NOSIGNAL, but a TLS library may write by itself: the signal is
// blocked on the thread running the transfers (and the threads libcurl starts from it), never
// for the rest of the host process. True when blocked (always on Windows, which has no SIGPIPE).
bool blockBrokenPipeSignal() {
#ifdef _WIN32
  return true;
#else
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  return pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0;
#endif
}

// The longest the transfer loop sleeps in one wait: how late a cancellation is noticed at worst.
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

// Resumes a held transfer once the limits allow it; until then its stall clock stands still, since
// a transfer held back on purpose is not stalled. libcurl may hand the kept buffer over (onBody)
// within the call, which may hold the transfer again. False when libcurl refused to resume.
bool resumeWhenDue(TransferContext& context, std::chrono::steady_clock::time_point now) {
  context.lastByteAt = now;
  if (context.limits.waitMicros() > 0) return true;
  context.held = false;
  return curl_easy_pause(context.handle, CURLPAUSE_CONT) == CURLE_OK;
}

// Runs one attempt like curl_easy_perform, in the worker's multi handle, but never waits longer
// than kWakeMs at a time: a cancellation ends the attempt (CURLE_ABORTED_BY_CALLBACK) within that
// time, a stall (CURLE_OPERATION_TIMEDOUT, context.stalled set) within a millisecond or so of its
// time, whatever libcurl is waiting for (the connection, the answer, the next body bytes).
CURLcode perform(CURLM* multi, TransferContext& context) {
  // A request cancelled between its attempts (the next segment of a stopped download) never
  // reaches the server.
  if (context.request->cancelled.load(std::memory_order_relaxed)) return CURLE_ABORTED_BY_CALLBACK;
  if (curl_multi_add_handle(multi, context.handle) != CURLM_OK) return CURLE_FAILED_INIT;
  context.lastByteAt = std::chrono::steady_clock::now();
  CURLcode result = CURLE_OK;
  CURLMcode code = CURLM_OK;
  bool done = false;
  while (!done) {
    const int timeoutMs =
        context.held ? holdMs(context) : waitMs(context, std::chrono::steady_clock::now());
    code = curl_multi_poll(multi, nullptr, 0, timeoutMs, nullptr);
    if (code == CURLM_OK && context.held &&
        !resumeWhenDue(context, std::chrono::steady_clock::now())) {
      result = CURLE_RECV_ERROR;
      break;
    }
    int running = 0;
    if (code == CURLM_OK) code = curl_multi_perform(multi, &running);
    if (code != CURLM_OK) {
      result = code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == context.handle) {
        result = message->data.result;
        done = true;
      }
    }
    if (done) break;
    if (context.request->cancelled.load(std::memory_order_relaxed)) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    // A batch waiting for more bytes that do not come is handed on all the same.
    if (!flushBatchIfDue(context, std::chrono::steady_clock::now())) {
      result = CURLE_WRITE_ERROR;
      break;
    }
    if (stallTimeIsUp(context, std::chrono::steady_clock::now())) {
      context.stalled = true;
      result = CURLE_OPERATION_TIMEDOUT;
      break;
    }
  }
  // Taken out mid-transfer, the handle's connection is closed rather than kept.
  (void)curl_multi_remove_handle(multi, context.handle);
  return result;
}

// Eight times libcurl's default: a transfer now runs over many chunks, and 1 GiB on loopback
// took 8.9 thousand reads instead of 32.8 thousand with 32 KiB. (With one short request per
// chunk, 64 KiB and more once made answers stall now and then for a delayed-ACK period; 100
// files of 256 KiB fetched one after another show no such stall with this size.)
constexpr long kReceiveBufferBytes = 128 * 1024;

// The request headers of one attempt; freed with the attempt.
class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list_); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;

  bool add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_, line.c_str());
    if (grown == nullptr) return false;
    list_ = grown;
    return true;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;  // owned
};

// Whom a TLS peer must prove itself to. A set trust path replaces the system's trust store: a
// file of PEM certificates, or a directory of certificates under their hashed names.
CURLcode setTrust(CURL* handle, const ZPHttpPolicy& policy, bool trustPathIsDirectory) {
  if (!policy.verifyTls) {
    CURLcode code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    return code == CURLE_NOT_BUILT_IN ? CURLE_OK : code;  // a TLS library without https:// proxies
  }
  CURLcode code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string& path = policy.caCertificatePath;
  // An https:// proxy proves itself against the same trust as the servers.
  if (code == CURLE_OK && !path.empty() && !trustPathIsDirectory) {
    code = curl_easy_setopt(handle, CURLOPT_PROXY_CAINFO, path.c_str());
    if (code == CURLE_NOT_BUILT_IN) code = CURLE_OK;  // a TLS library without https:// proxies
  }
  if (code != CURLE_OK || path.empty()) return code;  // libcurl's default: the system's store
  const char* file = trustPathIsDirectory ? nullptr : path.c_str();
  const char* directory = trustPathIsDirectory ? path.c_str() : nullptr;
  code = curl_easy_setopt(handle, CURLOPT_CAINFO, file);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_CAPATH, directory);
  // A TLS library without certificate directories (Schannel) refuses CURLOPT_CAPATH even when
  // cleared; it then has no directory to clear, and a set file alone decides.
  if (code == CURLE_NOT_BUILT_IN && directory == nullptr) code = CURLE_OK;
  return code;
}

// HTTP authentication by user and password. With CURLOPT_UNRESTRICTED_AUTH off, libcurl sends
// the credentials to the URL's own host, port and scheme only, never to another one a redirect
// leads to; since 7.83 it also leaves the host's own Authorization and Cookie headers out there.
CURLcode setCredentials(CURL* handle, const RequestIdentity* identity) {
  if (identity == nullptr || identity->userName.empty()) return CURLE_OK;
  unsigned long methods = 0;
  if ((identity->authMethods & ZPRequest::AUTH_BASIC) != 0) methods |= CURLAUTH_BASIC;
  if ((identity->authMethods & ZPRequest::AUTH_DIGEST) != 0) methods |= CURLAUTH_DIGEST;
  if (methods == 0) methods = CURLAUTH_BASIC | CURLAUTH_DIGEST;
  CURLcode code = curl_easy_setopt(handle, CURLOPT_USERNAME, identity->userName.c_str());
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_PASSWORD, identity->password.c_str());
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPAUTH, methods);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_UNRESTRICTED_AUTH, 0L);
  return code;
}

// The download's proxy and bypass list; libcurl's defaults (its environment variables) where the
// route sets none. Credentials in the proxy URL go to the proxy as Basic authentication.
CURLcode setProxy(CURL* handle, const ProxyRoute* route) {
  if (route == nullptr) return CURLE_OK;
  CURLcode code = CURLE_OK;
  if (route->setProxy) code = curl_easy_setopt(handle, CURLOPT_PROXY, route->proxy.c_str());
  if (code == CURLE_OK && route->setNoProxy) {
    code = curl_easy_setopt(handle, CURLOPT_NOPROXY, route->noProxy.c_str());
  }
  return code;
}

// The cookie file's cookies, through libcurl's cookie engine: it sends each one only where its
// domain, path and secure flag allow, redirects included, and keeps what the server sets for the
// handle's later requests. Nothing is written back to the file.
CURLcode setCookies(CURL* handle, const ZPHttpPolicy& policy) {
  if (policy.cookieFile.empty()) return CURLE_OK;
  return curl_easy_setopt(handle, CURLOPT_COOKIEFILE, policy.cookieFile.c_str());
}

// Every option on every attempt, in this order; stops at the first one libcurl rejects.
CURLcode setOptions(TransferContext& context, const std::string& url, const std::string& range,
                    const HeaderList& headers, const ZPHttpPolicy& policy,
                    bool trustPathIsDirectory, const RequestIdentity* identity,
                    const ProxyRoute* proxy) {
  CURL* handle = context.handle;
  const long timeoutMs = std::max<long>(0, policy.timeoutMs);
  const long connectTimeoutMs = std::max<long>(0, policy.connectTimeoutMs);
  // libcurl takes -1 for no limit and 0 for no redirect at all.
  const long maxRedirects = policy.maxRedirects < 0 ? -1L : static_cast<long>(policy.maxRedirects);
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
  }
  // No signal handlers swapped around every transfer: the resolver runs in a thread of its own,
  // so no alarm is needed for its timeout, and the workers block SIGPIPE themselves.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_MAXREDIRS, maxRedirects);
  // A server may send us elsewhere over HTTP(S) only, never to another protocol.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBody);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &context);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onHeaderLine);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERDATA, &context);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onProgress);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &context);
  if (code == CURLE_OK) code = setTrust(handle, policy, trustPathIsDirectory);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, context.errorText);
  // A larger receive buffer than libcurl's: fewer reads, writes and progress calls per byte on
  // fast links; it changes nothing a caller can observe but the size of each block.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  if (code == CURLE_OK && headers.get() != nullptr) {
    code = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  }
  if (code == CURLE_OK) code = setCredentials(handle, identity);
  if (code == CURLE_OK) code = setProxy(handle, proxy);
  if (code == CURLE_OK) code = setCookies(handle, policy);
  return code;
}

// The end of an attempt that libcurl could not make a handle for.
AttemptEnd noHandle(ChunkState& state) {
  state.outcome.errorCode = ChunkErrors::kNoHandle;
  state.outcome.errorMsg = "Failed to initialize curl.";
  return AttemptEnd{};
}

// The attempt's header lines: If-Range when the stored bytes have a validator, then the
// request's own lines.
CURLcode buildHeaders(const AttemptSetup& setup, HeaderList& headers) {
  if (!setup.ifRange.empty() && !headers.add("If-Range: " + setup.ifRange)) {
    return CURLE_OUT_OF_MEMORY;
  }
  if (setup.identity == nullptr) return CURLE_OK;
  for (const std::string& line : setup.identity->headerLines) {
    if (!headers.add(line)) return CURLE_OUT_OF_MEMORY;
  }
  return CURLE_OK;
}

// Sets the attempt's options on the handle. False (nothing to set them on) when a handle had to
// be renewed and libcurl could not make one; *result is then untouched.
bool applyOptions(TransferHandle& handle, TransferContext& context, HeaderList& headers,
                  const AttemptSetup& setup, CURLcode* result) {
  *result = setOptions(context, setup.url, setup.range, headers, *setup.policy,
                       setup.trustPathIsDirectory, setup.identity, setup.proxy);
  // libcurl keeps the receive buffer of an attempt it did not see through to its end (one
  // without a connection: a host that does not resolve, an address it cannot parse; some
  // cancelled ones), and from then on refuses every receive buffer size on that handle. A new
  // handle takes the options; the connections stay with the multi handle.
  if (*result != CURLE_BAD_FUNCTION_ARGUMENT) return true;
  if (!handle.easy.renew()) return false;
  context.handle = handle.easy.get();
  *result = setOptions(context, setup.url, setup.range, headers, *setup.policy,
                       setup.trustPathIsDirectory, setup.identity, setup.proxy);
  return true;
}

// The transfer's result once the received bytes are stored: a write that only stopped a full
// range is no failure, one that stopped an answer longer than its range is the server's.
CURLcode settleResult(TransferContext& context, CURLcode result) {
  ChunkState& state = *context.state;
  // Whatever ended the attempt (the answer's end, a failure, a cancellation), the bytes it
  // received are good and are stored.
  if (!flushBatch(context) && result == CURLE_OK) result = CURLE_WRITE_ERROR;
  if (result == CURLE_WRITE_ERROR && state.outcome.rangeFilled) result = CURLE_OK;
  if (result == CURLE_WRITE_ERROR && context.overran && !state.history.writeFailed) {
    result = CURLE_WEIRD_SERVER_REPLY;
  }
  if (result == CURLE_OK && !state.outcome.connected && !context.refused && !context.badStatus) {
    // An answer without a single body byte never reached the write callback: an empty resource
    // (200 with length 0), or a status that only a header block carries (416).
    judgeBodilessAnswer(context);
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

}  // namespace

AttemptEnd runAttempt(TransferHandle& handle, ChunkRequest& request, ChunkState& state,
                      const AttemptSetup& setup) {
  beginAttempt(state, setup.range);
  thread_local const bool brokenPipeBlocked = blockBrokenPipeSignal();
  (void)brokenPipeBlocked;
  // The easy handle is opened first: it initialises libcurl for the multi handle.
  if (!handle.easy.open() || !handle.multi.open()) return noHandle(state);
  if (handle.batch.size() != kBatchBytes) handle.batch.resize(kBatchBytes);
  TransferContext context;
  context.batch = &handle.batch;
  context.handle = handle.easy.get();
  context.request = &request;
  context.state = &state;
  context.limits = setup.limits;
  HeaderList headers;
  CURLcode result = buildHeaders(setup, headers);
  if (result == CURLE_OK && !applyOptions(handle, context, headers, setup, &result)) {
    return noHandle(state);
  }
  const bool optionsSet = result == CURLE_OK;
  context.stallTimeoutMs = std::max<int64_t>(0, setup.policy->stallTimeoutMs);
  if (optionsSet) result = perform(handle.multi.get(), context);
  result = settleResult(context, result);
  describeOutcome(context, result);
  if (state.outcome.errorCode != 0) {
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
  noteFinalAnswer(context);
  // The handle must not keep pointers into this stack frame; its connections stay open.
  handle.easy.reset();
  AttemptEnd end;
  end.started = true;
  end.optionsSet = optionsSet;
  end.refused = context.refused;
  return end;
}

}  // namespace zephyl
