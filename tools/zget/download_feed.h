// DownloadFeed: hands the downloads of one run to the manager a few at a time, so that the
// library holds only the requests under way and a short queue behind them, never the whole list:
// each finished download hands the next one over. Its onComplete (on the library's threads)
// reports through the finished callback, once per index. Thread-safe; run() on one thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "annotated_locks/annotated_mutex.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zget {

class DownloadFeed {
 public:
  // The request of the download at index; its onComplete is kept and called first.
  using MakeRequest = std::function<ZPRequest(size_t index)>;
  // Queues a request with the manager (Zephyl::enqueue); may complete it before it returns.
  using Enqueue = std::function<void(const ZPRequest& request)>;
  // Cancels a queued request by its id (Zephyl::cancelByRequest).
  using Cancel = std::function<void(int requestId)>;
  // The outcome of the download at index: from its onComplete, or a cancelled response (on
  // run's thread) for one never handed over because the feed stopped.
  using Finished = std::function<void(size_t index, const ZPResponse& response)>;

  // count downloads, at most window of them handed over and not finished at once (at least 1).
  DownloadFeed(size_t count, size_t window, MakeRequest make, Enqueue enqueue, Cancel cancel,
               Finished finished);
  DownloadFeed(const DownloadFeed&) = delete;
  DownloadFeed& operator=(const DownloadFeed&) = delete;

  // Hands the first window over and returns once every download has finished. Called once.
  void run() EXCLUDES(mutex_);
  // No download is handed over from now on; one handed over at this moment is cancelled. Call
  // before cancelling the manager's downloads (an interrupt). Any thread.
  void stop() EXCLUDES(mutex_);

  // Downloads handed over whose onComplete has not returned yet.
  size_t outstanding() const EXCLUDES(mutex_);

 private:
  // Hands over up to credit more downloads. Re-entrant calls (an enqueue that completes its
  // request at once) only add their credit to the running loop: no recursion per download.
  void pump(size_t credit) EXCLUDES(mutex_);
  void handOver(size_t index);
  void onFinished(size_t index, const ZPResponse& response) EXCLUDES(mutex_);

  // Set at construction.
  const size_t count_;
  const size_t window_;
  const MakeRequest make_;
  const Enqueue enqueue_;
  const Cancel cancel_;
  const Finished finished_;

  std::atomic<bool> stopped_{false};  // also read after each enqueue, without the lock

  mutable annotated_locks::Mutex mutex_;
  annotated_locks::ConditionVariable changed_;  // with mutex_: a download finished or stop()
  size_t next_ GUARDED_BY(mutex_) = 0;          // the next index to hand over
  size_t done_ GUARDED_BY(mutex_) = 0;          // onComplete calls that returned
  size_t credit_ GUARDED_BY(mutex_) = 0;        // hand-overs owed to the pumping loop
  bool pumping_ GUARDED_BY(mutex_) = false;     // a thread runs pump's loop
};

}  // namespace zget
