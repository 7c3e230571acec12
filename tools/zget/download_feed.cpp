#include "download_feed.h"

#include <algorithm>
#include <utility>

namespace zget {

using annotated_locks::MutexLock;

DownloadFeed::DownloadFeed(size_t count, size_t window, MakeRequest make, Enqueue enqueue,
                           Cancel cancel, Finished finished)
    : count_(count),
      window_(std::max<size_t>(window, 1)),
      make_(std::move(make)),
      enqueue_(std::move(enqueue)),
      cancel_(std::move(cancel)),
      finished_(std::move(finished)) {}

void DownloadFeed::run() {
  pump(window_);
  size_t unfed = 0;
  {
    MutexLock lock(mutex_);
    // Every download handed over has finished, and none is left to hand over (or none may be).
    while (done_ != next_ || (next_ < count_ && !stopped_.load())) changed_.wait(mutex_);
    unfed = next_;
    next_ = count_;
  }
  const ZPResponse cancelled(ZPResponse::RESULT_CANCELLED, 0, "");
  for (size_t index = unfed; index < count_; ++index) finished_(index, cancelled);
}

void DownloadFeed::stop() {
  MutexLock lock(mutex_);
  stopped_.store(true);
  changed_.notifyAll();
}

size_t DownloadFeed::outstanding() const {
  MutexLock lock(mutex_);
  return next_ - done_;
}

void DownloadFeed::pump(size_t credit) {
  {
    MutexLock lock(mutex_);
    credit_ += credit;
    if (pumping_) return;
    pumping_ = true;
  }
  for (;;) {
    size_t index = 0;
    {
      MutexLock lock(mutex_);
      if (credit_ == 0 || next_ >= count_ || stopped_.load()) {
        credit_ = 0;
        pumping_ = false;
        return;
      }
      --credit_;
      index = next_++;
    }
    handOver(index);
  }
}

void DownloadFeed::handOver(size_t index) {
  ZPRequest request = make_(index);
  request.onComplete = [this, index, own = std::move(request.onComplete)](
                           const ZPRequest& completed, const ZPResponse& response) {
    if (own) own(completed, response);
    onFinished(index, response);
  };
  const int requestId = request.requestId;
  enqueue_(request);
  // A stop that came while this request was being queued may have missed it: the manager's
  // cancel then ran before the request was there.
  if (stopped_.load()) cancel_(requestId);
}

void DownloadFeed::onFinished(size_t index, const ZPResponse& response) {
  finished_(index, response);
  // The next download is handed over before this one counts as done, so that run() never sees
  // every download done while one is still to be handed over.
  pump(1);
  MutexLock lock(mutex_);
  ++done_;
  // Under the lock: run() may return, and the feed go, as soon as the lock is released.
  changed_.notifyAll();
}

}  // namespace zget
