#include "engine/http_chunk_client.h"

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "diagnostics/log.h"
#include "diagnostics/redaction.h"
#include "diagnostics/utilities.h"
#include "engine/answer_judge.h"
#include "engine/chunk_workers.h"
#include "engine/curl_transfer.h"
#include "engine/failure_cause.h"
#include "engine/lasting_failure.h"
#include "storage/fs.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

// Ends the chunk. A second setting would be a fault of ours; it must not throw on a worker.
void finish(ChunkState& state) {
  try {
    state.done.set_value(true);
  } catch (const std::future_error&) {
    return;
  }
  if (state.onDone) state.onDone();
}

// Every path that ends a chunk whose current attempt never connected tells onConnected, so that
// a planner waiting for the first answer is released.
void notifyUnconnected(ChunkState& state, int32_t httpCode, int64_t contentLength) {
  if (state.outcome.connected || !state.onConnected) return;
  try {
    state.onConnected(httpCode, contentLength);
  } catch (...) {
    // The callback's failure changes nothing here: the chunk ends either way.
  }
}

// The file-system layer tells a directory apart by listing it: only a directory can be listed.
bool isListableDirectory(const std::string& path) {
  if (path.empty()) return false;
  std::vector<std::string> entries;
  return fs::listFiles(path, &entries).isOk();
}

}  // namespace

HttpChunkClient::HttpChunkClient(const ZPHttpPolicy& policy, int threadCount)
    : policy_(policy),
      createdAtMs_(nowMs()),
      // The loop and disk threads start as chunks need them.
      workers_(std::make_shared<ChunkWorkers>(threadCount)) {}

HttpChunkClient::HttpChunkClient(const ZPHttpPolicy& policy, std::shared_ptr<ChunkWorkers> workers)
    : policy_(policy), createdAtMs_(nowMs()), workers_(std::move(workers)) {}

HttpChunkClient::~HttpChunkClient() {
  MutexLock lock(jobs_->mutex);
  while (jobs_->running > 0) jobs_->idle.wait(jobs_->mutex);
}

bool HttpChunkClient::trustPathIsDirectory() {
  // Asked at the first submit, not at construction: the client is built while the
  // manager's registry lock is held, where no file-system call may run.
  std::call_once(trustPathOnce_, [this] {
    trustPathIsDirectory_ = isListableDirectory(policy_.caCertificatePath);
  });
  return trustPathIsDirectory_;
}

const ProxyRoute& HttpChunkClient::proxyRoute(const std::string& url) {
  // At the first submit, like trustPathIsDirectory, never on the loop: the system's settings may
  // take a configuration script or automatic detection, network calls that no lock may wait for.
  std::call_once(proxyRouteOnce_, [this, &url] {
    proxyRoute_ = proxyRouteOf(policy_, url);
    if (proxyRoute_.setProxy) {
      ZP_LOG(Debug) << "proxy: " << (proxyRoute_.proxy.empty() ? "none" : redactUrl(proxyRoute_.proxy))
                    << ", bypass: " << proxyRoute_.noProxy;
    }
  });
  return proxyRoute_;
}

void HttpChunkClient::submit(ChunkRequest& request, ChunkState& state) {
  {
    MutexLock lock(jobs_->mutex);
    ++jobs_->running;
  }
  state.outcome.connected = false;
  launch(request, state, true);
}

void HttpChunkClient::jobEnded() {
  // The client may be gone once the count drops: only the shared count is touched.
  std::shared_ptr<JobCount> jobs = jobs_;
  MutexLock lock(jobs->mutex);
  if (--jobs->running == 0) jobs->idle.notifyAll();
}

void HttpChunkClient::launch(ChunkRequest& request, ChunkState& state, bool firstOfJob) {
  try {
    AttemptSetup setup = setupAttempt(request, state);
    std::error_code refusal;
    const bool started = startAttempt(
        *workers_, request, state, std::move(setup), firstOfJob,
        [this, &request, &state](const AttemptEnd& end) { attemptEnded(request, state, end); },
        &refusal);
    if (!started) {
      // The loop is stopping or has no thread: the chunk ends here rather than never.
      const std::string why = "transfer loop could not start: " + refusal.message();
      endWithError(request, state, why.c_str());
      jobEnded();
    }
  } catch (const std::exception& error) {
    // Memory ran out for the range or the log line: the chunk ends here rather than never.
    endWithError(request, state, error.what());
    jobEnded();
  } catch (...) {
    endWithError(request, state, "chunk not started");
    jobEnded();
  }
}

void HttpChunkClient::attemptEnded(ChunkRequest& request, ChunkState& state,
                                   const AttemptEnd& end) {
  bool more = false;
  try {
    if (end.skipped) {
      notifyUnconnected(state, 0, 0);
      finish(state);
    } else {
      state.stats.endTimeMs = nowMs() - createdAtMs_;
      more = afterAttempt(request, state, end);
    }
  } catch (const std::exception& error) {
    // Only allocation can throw in afterAttempt, and only before the chunk is finished or handed
    // to a retry (both are the last step of every path), so the chunk is still ours to end.
    endWithError(request, state, error.what());
  } catch (...) {
    endWithError(request, state, "chunk transfer failed");
  }
  if (!more) {
    jobEnded();
    return;
  }
  // A request that ended well and has more to ask for goes on at once, on the connection the
  // loop keeps for the host.
  state.outcome.connected = false;
  launch(request, state, false);
}

void HttpChunkClient::endWithError(ChunkRequest& request, ChunkState& state, const char* message) {
  state.outcome.errorCode = kNoHandleError;
  state.outcome.errorMsg = message;
  failForGood(request, state);
}

void HttpChunkClient::cancel(ChunkRequest& request) {
  request.cancelled.store(true, std::memory_order_relaxed);
}

AttemptSetup HttpChunkClient::setupAttempt(const ChunkRequest& request, ChunkState& state) {
  AttemptSetup setup;
  setup.url = request.url;
  if (state.history.domainIndex != -1) {
    const std::vector<std::string>* hosts = alternativeHosts(request.url);
    if (hosts != nullptr && state.history.domainIndex >= 0 &&
        static_cast<size_t>(state.history.domainIndex) < hosts->size()) {
      const std::string& host = (*hosts)[static_cast<size_t>(state.history.domainIndex)];
      if (!host.empty()) setup.url = withHost(setup.url, host);
    }
  }
  // The host (and port) alone: user information before it is a credential, not a host.
  const std::string authority = hostOf(setup.url);
  const size_t userInfoEnd = authority.rfind('@');
  state.stats.domains.insert(userInfoEnd == std::string::npos ? authority
                                                              : authority.substr(userInfoEnd + 1));
  setup.range = request.rangeProvider ? request.rangeProvider() : std::string();
  ZP_LOG(Debug) << "submit request chunkId: " << request.chunkId << ", range: " << setup.range;
  // If-Range only makes sense with a range: without one the whole resource comes anyway.
  if (request.ifRangeProvider && !setup.range.empty()) setup.ifRange = request.ifRangeProvider();
  setup.policy = &policy_;
  setup.trustPathIsDirectory = trustPathIsDirectory();
  setup.identity = &identity_;
  // The request's own URL, never an alternative host's: the route is the download's.
  setup.proxy = &proxyRoute(request.url);
  setup.limits = limits_;
  return setup;
}

bool HttpChunkClient::afterAttempt(ChunkRequest& request, ChunkState& state,
                                   const AttemptEnd& end) {
  const int32_t chunkId = request.chunkId;
  if (!end.started) {
    ZP_LOG(Error) << "chunkId: " << chunkId << ", error: " << state.outcome.errorCode << "("
                  << state.outcome.errorMsg << ")";
    notifyUnconnected(state, state.outcome.httpCode, state.answer.contentLength);
    finish(state);
    return false;
  }
  if (request.cancelled.load(std::memory_order_relaxed)) {
    ZP_LOG(Debug) << "chunkId: " << chunkId << ", cancelled";
    notifyUnconnected(state, 0, 0);
    finish(state);
    return false;
  }
  if (state.outcome.errorCode == 0) {
    // Only an attempt that brought bytes goes on: one that ended well with none would otherwise
    // ask again and again; the planner tells a run left short when the chunk ends.
    const bool progressed =
        state.receivedUpTo.load(std::memory_order_relaxed) > state.answer.requestedStart;
    if (progressed && request.hasMore && request.hasMore()) return true;
    ZP_LOG(Debug) << "chunkId: " << chunkId
                  << ", download success, size: " << state.stats.downloadedSize;
    finish(state);
    return false;
  }
  ZP_LOG(Warn) << "chunkId: " << chunkId << ", error: " << state.outcome.errorCode << "("
               << state.outcome.errorMsg << "), httpCode: " << state.outcome.httpCode;
  // A rejected option, a refused answer, a 416 (the range lies past the resource's end) or a 304
  // (the answer to a condition the host put on the request) would come back the same on any
  // retry.
  if (end.optionsSet && !end.refused && state.outcome.finalStatus != 416 &&
      state.outcome.finalStatus != 304) {
    if (mayRetryOnSameHost(state) && retryOnSameHost(request, state)) return false;
    if (switchHost(request, state)) return false;
  }
  failForGood(request, state);
  return false;
}

bool HttpChunkClient::mayRetryOnSameHost(const ChunkState& state) const {
  if (policy_.repeatLastingFailures) return true;
  const int32_t status = state.outcome.finalStatus;
  if (isLastingFailure(status, state.outcome.errorCode)) {
    ZP_LOG(Debug) << "lasting failure (status " << status << ", code " << state.outcome.errorCode
                  << "): not retried";
    return false;
  }
  // A server that says when to come back is not asked again at once: the download's repeat
  // waits what it says.
  return retryAfterMs(status, state.stats.headers, 0, 1) < 0;
}

bool HttpChunkClient::retryOnSameHost(ChunkRequest& request, ChunkState& state) {
  if (state.outcome.httpCode > 0) {
    if (state.history.serverErrorCount >= policy_.serverErrorRetryCount) return false;
    ZP_LOG(Debug) << "chunkId: " << request.chunkId
                  << ", serverErrorCount: " << state.history.serverErrorCount << ", retry";
    ++state.history.serverErrorCount;
  } else {
    if (state.history.netErrorCount >= policy_.netErrorRetryCount) return false;
    ZP_LOG(Debug) << "chunkId: " << request.chunkId
                  << ", netErrorCount: " << state.history.netErrorCount << ", retry";
    ++state.history.netErrorCount;
  }
  submit(request, state);
  return true;
}

bool HttpChunkClient::switchHost(ChunkRequest& request, ChunkState& state) {
  const std::vector<std::string>* hosts = alternativeHosts(request.url);
  const int64_t count = hosts == nullptr ? 0 : static_cast<int64_t>(hosts->size());
  if (state.history.domainIndex < -1 || state.history.domainIndex >= count - 1) return false;
  const std::string& next = (*hosts)[static_cast<size_t>(int64_t{state.history.domainIndex} + 1)];
  ZP_LOG(Debug) << "chunkId: " << request.chunkId << ", change domain to: " << next << ", retry";
  ++state.history.domainIndex;
  state.history.serverErrorCount = 0;
  state.history.netErrorCount = 0;
  state.outcome.httpCode = 0;
  submit(request, state);
  return true;
}

void HttpChunkClient::failForGood(ChunkRequest& request, ChunkState& state) {
  notifyUnconnected(state, state.outcome.httpCode, state.answer.contentLength);
  ZP_LOG(Warn) << "chunkId: " << request.chunkId << ", download failed";
  finish(state);
}

const std::vector<std::string>* HttpChunkClient::alternativeHosts(const std::string& url) const {
  // find, never operator[]: the map is read by every worker at once.
  const auto entry = policy_.domainMap.find(hostOf(url));
  return entry == policy_.domainMap.end() ? nullptr : &entry->second;
}

namespace {

// Where a URL's authority stands: [begin, end). A URL has one when it starts with a scheme (a
// letter, then letters, digits, "+", "-" or ".") directly followed by "://"; the authority ends
// at the first "/", "?" or "#", as libcurl reads it. False otherwise.
bool findAuthority(const std::string& url, size_t* begin, size_t* end) {
  const size_t marker = url.find("://");
  if (marker == std::string::npos || marker == 0) return false;
  const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(url[0])) return false;
  for (size_t i = 1; i < marker; ++i) {
    const char c = url[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  *begin = marker + 3;
  *end = std::min(url.find_first_of("/?#", *begin), url.size());
  return true;
}

}  // namespace

std::string HttpChunkClient::hostOf(const std::string& url) {
  size_t begin = 0;
  size_t end = 0;
  if (!findAuthority(url, &begin, &end)) return std::string();
  return url.substr(begin, end - begin);
}

std::string HttpChunkClient::withHost(const std::string& url, const std::string& host) {
  size_t begin = 0;
  size_t end = 0;
  if (!findAuthority(url, &begin, &end)) return url;
  std::string result = url.substr(0, begin);
  result += host;
  result.append(url, end, std::string::npos);
  return result;
}

ZPResponse HttpChunkClient::classify(const ChunkState& state, DownloadMetrics* metrics) {
  if (state.outcome.errorCode == 0 && state.history.writeErrorCode == 0) {
    return ZPResponse(ZPResponse::RESULT_SUCCESS, 0, std::string());
  }
  if (state.history.writeFailed) {
    ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::DATA_WRITE_ERROR,
                        state.history.writeErrorMsg);
    response.extraErrorCode = state.history.writeErrorCode;
    refineDiskCause(response);
    if (metrics != nullptr) metrics->client_extra_error_code = state.history.writeErrorCode;
    return response;
  }
  if (state.outcome.httpCode > 0 && !isDataStatus(state.outcome.httpCode)) {
    ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::BLOCK_HTTP_SERVER_ERROR,
                        state.outcome.errorMsg);
    response.extraErrorCode = state.outcome.errorCode;
    if (state.outcome.httpCode == 407) response.cause = ZPResponse::CAUSE_PROXY_REFUSED;
    if (metrics != nullptr) metrics->client_extra_error_code = state.history.writeErrorCode;
    return response;
  }
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::BLOCK_HTTP_NETWORK_ERROR,
                      state.outcome.errorMsg);
  response.extraErrorCode = state.outcome.errorCode;
  if (state.outcome.networkCause != ZPResponse::CAUSE_NONE) {
    response.cause = state.outcome.networkCause;
  }
  if (metrics != nullptr) {
    metrics->client_extra_error_code = state.outcome.errorCode;
    metrics->error_code = state.outcome.errorCode;
  }
  return response;
}

}  // namespace zephyl
