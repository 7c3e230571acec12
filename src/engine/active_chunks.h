// The chunk requests of a task's running attempt, so that cancelling the task reaches every one
// of them. Thread-safe: the planner adds and clears, cancel comes from any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "engine/chunk_request.h"
#include "engine/http_chunk_client.h"

namespace zephyl {

class ActiveChunks {
 public:
  ActiveChunks(HttpChunkClient& client, const std::atomic<bool>& taskCancelled)
      : client_(client), taskCancelled_(taskCancelled) {}
  ActiveChunks(const ActiveChunks&) = delete;
  ActiveChunks& operator=(const ActiveChunks&) = delete;

  // Registers a request before it is submitted. A request added after the task was cancelled, or
  // after stopForGood, is cancelled at once: the task sets its flag before it takes the lock in
  // cancelAll, so either cancelAll sees the request or add sees the flag.
  void add(ChunkRequest& request) {
    MutexLock lock(mutex_);
    requests_.push_back(&request);
    if (taskCancelled_.load() || stopped_) client_.cancel(request);
  }

  void cancelAll() {
    MutexLock lock(mutex_);
    for (ChunkRequest* request : requests_) client_.cancel(*request);
  }

  // The download asks for nothing more (a stream's receiver stopped it): every request running
  // now and every one added later is cancelled, so no retry and no next segment goes out.
  void stopForGood() {
    MutexLock lock(mutex_);
    stopped_ = true;
    for (ChunkRequest* request : requests_) client_.cancel(*request);
  }

  // A finished request that is about to be destroyed.
  void remove(ChunkRequest& request) {
    MutexLock lock(mutex_);
    requests_.erase(std::remove(requests_.begin(), requests_.end(), &request), requests_.end());
  }

  // End of the attempt: the requests are about to be destroyed.
  void clear() {
    MutexLock lock(mutex_);
    requests_.clear();
  }

 private:
  // Set at construction.
  HttpChunkClient& client_;
  const std::atomic<bool>& taskCancelled_;

  Mutex mutex_;
  std::vector<ChunkRequest*> requests_ GUARDED_BY(mutex_);
  bool stopped_ GUARDED_BY(mutex_) = false;  // see stopForGood; never cleared
};

}  // namespace zephyl
