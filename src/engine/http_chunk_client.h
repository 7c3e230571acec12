// HttpChunkClient: fetches the chunks of one download with ranged GET requests on a transfer loop
// (its own, or its manager's), retrying a failed chunk on the same host by kind of failure, then on the alternative hosts
// the policy lists for the URL's host. Every attempt verifies a TLS peer as the policy says, ends
// after the policy's stall time without a byte, and follows a bounded number of redirects. One
// per download task. submit and cancel are thread-safe; each chunk's callbacks run on a disk
// worker of the loop's. Must not be destroyed on the loop's threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/download_metrics.h"
#include "engine/chunk_request.h"
#include "engine/chunk_workers.h"
#include "engine/curl_transfer.h"
#include "engine/proxy_route.h"
#include "engine/request_identity.h"
#include "zephyl/zp_response.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

class HttpChunkClient {
 public:
  // ChunkOutcome::errorCode values besides libcurl's result codes (see ChunkErrors).
  static constexpr int32_t kNoHandleError = ChunkErrors::kNoHandle;
  static constexpr int32_t kHttpCodeError = ChunkErrors::kHttpCode;
  static constexpr int32_t kAnswerRefused = ChunkErrors::kAnswerRefused;

  // Copies the policy and runs the chunks on a loop of its own, at most threadCount (at least one)
  // at once; its threads start as chunks need them.
  HttpChunkClient(const ZPHttpPolicy& policy, int threadCount);
  // Copies the policy and runs the chunks on workers shared with other clients (those of one
  // manager): the loop, and the connections it keeps open, outlive the download.
  // workers must not be null.
  HttpChunkClient(const ZPHttpPolicy& policy, std::shared_ptr<ChunkWorkers> workers);
  // Waits until every chunk job of this client that is queued or running has ended (including
  // their retries' transfers); an own pool then joins its workers.
  ~HttpChunkClient();
  HttpChunkClient(const HttpChunkClient&) = delete;
  HttpChunkClient& operator=(const HttpChunkClient&) = delete;

  // Starts one attempt of the chunk on the loop and returns at once. request and state must stay
  // alive until state.doneFuture is ready, which it always becomes: should the loop refuse the
  // transfer, the chunk ends at once as a failure (errorCode kNoHandleError). Any thread.
  void submit(ChunkRequest& request, ChunkState& state);

  // Marks the request cancelled: a queued attempt ends without a transfer, a running one within
  // about a tenth of a second, whatever it waits for. Any thread.
  void cancel(ChunkRequest& request);

  // The authority of a URL: the text after "scheme://" up to the first "/", "?" or "#" (or the
  // end), where libcurl reads the host too; empty when the URL does not start with a scheme
  // followed by "://". Port and user information stay; no case folding.
  static std::string hostOf(const std::string& url);

  // url with its authority (the part hostOf returns) replaced by host; path, query and fragment
  // stay. url itself when it has no authority.
  static std::string withHost(const std::string& url, const std::string& host);

  // The response for a finished chunk: success, DATA_WRITE_ERROR, BLOCK_HTTP_SERVER_ERROR or
  // BLOCK_HTTP_NETWORK_ERROR, with extraErrorCode; fills the error fields of metrics (may be null).
  static ZPResponse classify(const ChunkState& state, DownloadMetrics* metrics);

  int64_t createdAtMs() const { return createdAtMs_; }

  // The headers and credentials every attempt sends. Called before the first submit only (the
  // workers read it without a lock).
  void setIdentity(RequestIdentity identity) { identity_ = std::move(identity); }

  // The rate limits every attempt's body is held to: the download's own bucket, shared by its
  // transfers, and the manager's, shared by its downloads (either may be null). Called before the
  // first submit only; the limiters must outlive the client. Their rates may change at any time.
  void setLimits(TransferLimits limits) { limits_ = limits; }
  const TransferLimits& limits() const { return limits_; }

 private:
  // Starts an attempt of the job's chunk; ends the job when the loop refuses it.
  void launch(ChunkRequest& request, ChunkState& state, bool firstOfJob);
  // An attempt ended (a disk worker): the next one, a retry, or the chunk's end.
  void attemptEnded(ChunkRequest& request, ChunkState& state, const AttemptEnd& end);
  void jobEnded();
  // The attempt's URL (an alternative host's, after a switch), range, If-Range and settings.
  AttemptSetup setupAttempt(const ChunkRequest& request, ChunkState& state);
  // What follows an attempt that ended as end: true when the request has more to ask for (the
  // caller starts the next attempt); false after the chunk was finished, handed to a retry, or
  // failed for good.
  bool afterAttempt(ChunkRequest& request, ChunkState& state, const AttemptEnd& end);
  // False when the policy keeps lasting failures from being repeated and this is one, or the
  // server asked to be left alone for a while (Retry-After).
  bool mayRetryOnSameHost(const ChunkState& state) const;
  bool retryOnSameHost(ChunkRequest& request, ChunkState& state);
  bool switchHost(ChunkRequest& request, ChunkState& state);
  void failForGood(ChunkRequest& request, ChunkState& state);
  void endWithError(ChunkRequest& request, ChunkState& state, const char* message);
  const std::vector<std::string>* alternativeHosts(const std::string& url) const;
  bool trustPathIsDirectory();
  const ProxyRoute& proxyRoute(const std::string& url);

  // Set at construction; read (never written) by the workers.
  const ZPHttpPolicy policy_;
  const int64_t createdAtMs_;
  // Set before the first submit; read (never written) by the loop and disk workers.
  RequestIdentity identity_;
  TransferLimits limits_;

  // policy_.caCertificatePath names a directory of certificates rather than a file of them;
  // found out once, by the first transfer (trustPathIsDirectory), and read-only afterwards.
  std::once_flag trustPathOnce_;
  bool trustPathIsDirectory_ = false;
  // The download's proxy, decided once, by the first transfer, from its URL (proxyRoute), and
  // read-only afterwards: every range and retry of the download goes the same way.
  std::once_flag proxyRouteOnce_;
  ProxyRoute proxyRoute_;
  // The jobs of this client (a chunk's attempts, from submit to its end or retry) that are
  // queued or running. Jobs hold it too, so that the last one may signal after the client has
  // begun to wait.
  struct JobCount {
    Mutex mutex;
    ConditionVariable idle;  // with mutex: running dropped to 0
    int64_t running GUARDED_BY(mutex) = 0;
  };
  const std::shared_ptr<JobCount> jobs_ = std::make_shared<JobCount>();
  // Last member: released first, after the jobs of this client have ended.
  std::shared_ptr<ChunkWorkers> workers_;
};

}  // namespace zephyl
