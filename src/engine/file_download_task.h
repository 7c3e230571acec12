// FileDownloadTask: one download of one URL into one sink. execute opens the sink, runs whole
// attempts until one succeeds, is cancelled or the attempt budget is spent, waits between
// attempts, closes the sink, sends one metrics record and keeps the response, so that later
// execute calls return it at once. Requests for the same file join it (join); those that want
// the result elsewhere get their own copy of it before execute returns. Thread-safe: execute
// (serialised), join, cancel, isCancelled, addProgressListener and the progress getters may be
// called from any thread. The task must not be destroyed on one of its chunk workers (they never
// own it).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/download_metrics.h"
#include "engine/active_chunks.h"
#include "engine/content_digests.h"
#include "engine/http_chunk_client.h"
#include "engine/progress_pace.h"
#include "engine/rate_limiter.h"
#include "engine/request_delivery.h"
#include "sinks/data_writer.h"
#include "storage/file_storage_manager.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

struct AttemptResult;

class FileDownloadTask {
 public:
  static constexpr int kMaxListeners = 15;
  static constexpr int64_t kOpenRetryDelayMs = 500;
  // Told around the pause before a repeated attempt (see the constructor).
  using PauseListener = std::function<void(bool paused, const std::atomic<bool>& cancelled)>;

  // request.fileKey must be filled in. chunkWorkers: the pool the chunks run on, shared with the
  // manager's other downloads so that workers and their connections outlive this one; null: a pool
  // of the task's own.
  // onAllStored: told on the thread running execute each time an attempt has stored every byte,
  // right before that attempt's delivery (write-out and rename); never told for an attempt that
  // fails or is cancelled before that. May be empty.
  // managerLimit: the rate limit all the manager's downloads share; null: none. The download's
  // own limit starts at request.maxBytesPerSecond. identity: the host's identity strings for the
  // metrics records. expected: the digest the request's checksum names (see readChecksum);
  // empty: the content is not checked. onPause: told on the thread running execute with true
  // before the pause ahead of a repeated attempt, and with false after it, before that attempt
  // starts, with the task's cancelled flag (a wait it makes must end once that is set); may be
  // empty.
  FileDownloadTask(const ZPSetting& settings, std::shared_ptr<FileStorageManager> storage,
                   const ZPRequest& request, std::shared_ptr<ChunkWorkers> chunkWorkers = nullptr,
                   std::function<void()> onAllStored = nullptr,
                   std::shared_ptr<RateLimiter> managerLimit = nullptr,
                   MetricsIdentity identity = {},
                   std::optional<ExpectedDigest> expected = std::nullopt,
                   PauseListener onPause = nullptr);
  // Stops and joins the chunk workers first, then releases the writer.
  ~FileDownloadTask();
  FileDownloadTask(const FileDownloadTask&) = delete;
  FileDownloadTask& operator=(const FileDownloadTask&) = delete;

  // The result of the requests of one target other than the task's own: a copy the task makes
  // from its own result. response is written by the task's execute, under executeLock_, before
  // any execute call returns; it is read through executeFor, under executeLock_ too. (The
  // compiler cannot check this one: a member of this record cannot name the task's lock.)
  // expected: the checked digest of the request that asked for the target first (empty: none);
  // the copy is made only for content that passes it (each request is checked on its own again
  // by executeFor).
  struct ExtraDelivery {
    ExtraDelivery(DeliveryTarget where, std::optional<ExpectedDigest> firstExpected)
        : target(std::move(where)), expected(std::move(firstExpected)) {}
    const DeliveryTarget target;
    const std::optional<ExpectedDigest> expected;
    ZPResponse response;
  };

  // Runs the download once and returns its response; a call during the run waits for it, a call
  // after it returns the kept response without downloading again.
  ZPResponse execute() EXCLUDES(executeLock_);

  // Lets request be served by this task's download; expected: its checksum, parsed (empty:
  // none). When its target (see DeliveryTarget) is the
  // task's own, *extra is null and the request shares the task's response; otherwise *extra is
  // the delivery for that target (one per target, shared by its requests), which the task fills
  // before its execute returns. False, *extra untouched, once the task has begun to finish: its
  // result may already be in its callers' hands (and their onComplete may have moved it), so the
  // request needs a new task. Any thread; takes joinLock_ only, no I/O.
  [[nodiscard]] bool join(const ZPRequest& request, const std::optional<ExpectedDigest>& expected,
                          std::shared_ptr<ExtraDelivery>* extra) EXCLUDES(joinLock_);

  // execute, then the response of the request that joined with extra (null: the task's own),
  // checked against that request's parsed checksum (empty: none): content with another digest
  // gives CHECKSUM_MISMATCH, whatever the other requests of the download asked for.
  ZPResponse executeFor(const std::shared_ptr<ExtraDelivery>& extra,
                        const std::optional<ExpectedDigest>& expected = std::nullopt)
      EXCLUDES(executeLock_);

  // Sets the cancelled flag, aborts the running chunks and cuts waits short. Returns at once.
  void cancel() EXCLUDES(waitLock_);
  bool isCancelled() const { return cancelled_.load(); }

  // Adds a request's onProgress; ignored when empty or when kMaxListeners are present.
  void addProgressListener(const ZPRequest::ProgressCallback& listener) EXCLUDES(listenerLock_);

  // Calls every listener with the task's request and the writer's counts, through callHost (a
  // listener that throws is logged, the download goes on), when ProgressPace finds a report due:
  // at most 20 a second, none while nothing new is stored, never a lower count than the last.
  // Chunk workers call it after every stored block; one that finds another worker reporting
  // skips its report instead of waiting. No allocation, no manager lock.
  void notifyProgress() EXCLUDES(listenerLock_, reportLock_) { report(false); }

  const ZPRequest& request() const { return request_; }

  // Changes the download's own rate limit (0 or less: none of its own) for its running and later
  // transfers; the requests that joined it share it. Any thread; takes no task lock.
  void setMaxBytesPerSecond(int64_t bytesPerSecond) { ownLimit_.setRate(bytesPerSecond); }
  // Whether requestId names the task's own request or one that joined it. Any thread.
  bool servesRequest(int requestId) EXCLUDES(joinLock_);
  // Bytes stored and total length as the writer knows them now. Any thread.
  int64_t downloadedLength() { return writer_->downloadedLength(); }
  int64_t contentLength() { return writer_->contentLength(); }

 private:
  ZPResponse tryOpen();
  // notifyProgress; final (the task's thread after a successful attempt) waits for its turn and
  // reports the complete count even within the pace's gap.
  void report(bool final) EXCLUDES(listenerLock_, reportLock_);
  // Waits up to delayMs on a steady clock; returns early when the task is cancelled.
  void waitCancellable(int64_t delayMs) EXCLUDES(waitLock_);
  // The pause before the attempt after result: retryDelayMs, or longer when the policy keeps
  // lasting failures from repeats and the server asked for more with Retry-After (bounded).
  int64_t retryDelayAfter(const AttemptResult& result) const;
  // waitCancellable between onPause_(true) and onPause_(false).
  void pauseWithoutSlot(int64_t delayMs) EXCLUDES(waitLock_);
  DownloadMetrics startMetrics() const;

  // The steps of execute, on its thread. Requires: executeLock_ held.
  // The sink could not be opened or the target cannot take the file: opened is the response.
  void failOpen(ZPResponse opened, DownloadMetrics& metrics) REQUIRES(executeLock_);
  // Runs attempts until one ends the download and leaves response_ set. Returns whether the
  // content failed the task's own check (settleRejected then deals with it).
  bool runAttempts(DownloadMetrics& metrics) REQUIRES(executeLock_);
  enum class AttemptStep {
    kEnd,        // response_ is the download's: no further attempt
    kStartOver,  // the stored bytes were dropped: the next attempt at once
    kRetry,      // the next attempt after the retry delay
  };
  // What follows an attempt that ended with result; last: no attempt is left. *rejected is set
  // when the step is kEnd for content that failed its check.
  AttemptStep settleAttempt(AttemptResult& result, bool last, bool* rejected)
      REQUIRES(executeLock_);
  // The failure text of a stream whose stored bytes are proven wrong after bytes were handed
  // over; a 416 to a stream from an offset names the offset and the length the answer states.
  std::string streamEndMessage(const AttemptResult& result);
  // True when a stream that starts at an offset got a 416 before any byte past the offset was
  // handed over: the offset lies at or past the end of the resource.
  bool offsetPastEnd(const AttemptResult& result);
  // The final touches of a run's response_: the last progress report, the digests, the server's
  // time, URLs taken out of the error text.
  void completeResponse() REQUIRES(executeLock_);
  // Sends the run's one metrics record, with response_'s outcome.
  void sendMetrics(DownloadMetrics& metrics) REQUIRES(executeLock_);
  // Closes the task to joiners, then gives every extra delivery its response: a copy of source
  // (the task's result, or the rejected content kept for them) at its target when its checksum
  // accepts the content, or the task's failure. Requires: executeLock_ held, response_ final.
  void deliverToJoiners(const ZPResponse& source, bool sourceInMemory) REQUIRES(executeLock_);
  // The content failed the task's own check: delivers it under a hidden name beside the own
  // target (or as the buffer) when a joined target's checksum accepts it, serves the joiners from
  // there and removes it; otherwise drops the stored download. Requires: executeLock_ held.
  void settleRejected() REQUIRES(executeLock_);
  // The content's digest of algorithm: the one computed before delivery, or else computed now
  // from result (a request that joined after the check). Empty when unknown.
  std::string contentDigestOf(DigestAlgorithm algorithm, const ZPResponse& result)
      REQUIRES(executeLock_);
  // Whether result's content has the expected digest (see checkDigest), through contentDigestOf.
  ZPResponse checkContent(const ExpectedDigest& expected, const ZPResponse& result)
      REQUIRES(executeLock_);

  // Set at construction.
  const ZPRequest request_;
  const ZPHttpPolicy policy_;
  const int64_t blockSize_;
  const int32_t threadNum_;
  const int32_t splitThresholdMs_;
  std::unique_ptr<DataWriter> writer_;
  const DeliveryTarget ownTarget_;
  const std::string saveDirPath_;
  const std::string rootDir_;  // the storage root, to tell whether delivery crosses file systems
  const std::function<void()> onAllStored_;
  const PauseListener onPause_;
  const MetricsIdentity metricsIdentity_;
  const bool keepServerTime_;
  // The request's own checksum, parsed; empty when it names none.
  const std::optional<ExpectedDigest> expected_;
  // Thread-safe: fed by the chunk workers, wanted by join.
  ContentDigests digests_;

  // Lock order of the task's own locks: executeLock_, then waitLock_ (the waits of execute) or
  // joinLock_ (deliverToJoiners). The manager's registryMutex comes before joinLock_, waitLock_
  // and listenerLock_ (join, cancel and addProgressListener run under it), and is never held
  // while executeLock_ is taken.
  Mutex executeLock_;  // held for the whole of execute
  // Guarded by executeLock_.
  ZPResponse response_ GUARDED_BY(executeLock_);
  bool executed_ GUARDED_BY(executeLock_) = false;
  // The server's time of the delivered resource (see engine/server_time.h); -1 when unknown or
  // not to be kept.
  int64_t serverTime_ GUARDED_BY(executeLock_) = -1;
  // The content's digests as the last attempt computed them before delivery.
  ContentDigest contentDigest_ GUARDED_BY(executeLock_);

  std::atomic<bool> cancelled_{false};
  // The writer held bytes of an earlier download when it opened, and no answer has confirmed
  // them yet (see ChunkPlanner::Context::storedUnconfirmed). Set by execute after the open; the
  // first run's worker clears it.
  std::atomic<bool> storedUnconfirmed_{false};

  // Guards no data: taken so that cancel's flag and signal cannot fall between a waiter's check
  // and its wait.
  Mutex waitLock_ ACQUIRED_AFTER(executeLock_);
  ConditionVariable waitSignal_;  // with waitLock_: signalled by cancel

  // Taken last: after the manager's registryMutex (join runs under it) or executeLock_.
  Mutex joinLock_ ACQUIRED_AFTER(executeLock_);
  // Guarded by joinLock_.
  bool joinClosed_ GUARDED_BY(joinLock_) = false;
  std::vector<std::shared_ptr<ExtraDelivery>> extraDeliveries_ GUARDED_BY(joinLock_);
  std::vector<int> joinedRequestIds_ GUARDED_BY(joinLock_);

  Mutex listenerLock_;
  // Elements below listenerCount_ are written once, under listenerLock_, before the count grows,
  // and never again; readers copy the count under the lock and then call them without it. Not
  // GUARDED_BY for that reason: notifyProgress reads them without the lock.
  std::array<ZPRequest::ProgressCallback, kMaxListeners> listeners_;
  int listenerCount_ GUARDED_BY(listenerLock_) = 0;

  // Held while listeners run, so that reports reach them one at a time and in order. Taken
  // last: a chunk worker holds no other lock then, the task's thread only executeLock_.
  Mutex reportLock_;
  ProgressPace pace_ GUARDED_BY(reportLock_);

  // The download's own rate limit, shared by its transfers, and the manager's, shared by its
  // downloads. Declared before the client: its transfers use them until it has joined them.
  RateLimiter ownLimit_;
  const std::shared_ptr<RateLimiter> managerLimit_;

  // Destroyed before the writer: the client joins its workers, which use the writer.
  std::unique_ptr<HttpChunkClient> client_;
  std::unique_ptr<ActiveChunks> activeChunks_;
};

}  // namespace zephyl
