// BatchTracker: the shared bookkeeping of one queued batch. The requests of the batch report to it
// from several threads at once (starts and completions on task-pool threads, progress on chunk
// workers); it computes the overall percentage and calls onBatchComplete exactly once, after
// every onRequestComplete has returned. Requests are tracked by position in the batch, so two
// requests with the same requestId are still two requests. Thread-safe; no lock is held while a
// batch callback runs, and every batch callback is called through callHost: one that throws is
// logged and the batch goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

class BatchTracker {
 public:
  // Keeps batch (moved in: the tracker's is the one copy of its requests the manager holds).
  explicit BatchTracker(ZPBatchRequest batch);
  BatchTracker(const BatchTracker&) = delete;
  BatchTracker& operator=(const BatchTracker&) = delete;

  size_t size() const { return static_cast<size_t>(count_); }

  // A copy of the batch's request at index whose onStart, onProgress and onComplete report to
  // tracker (those whose batch callback is missing stay empty, as do onRequestComplete's when
  // there is no onBatchComplete). The copy keeps the tracker alive. Made one at a time, as each
  // is queued, so that the batch is never copied whole.
  static ZPRequest wrapRequest(const std::shared_ptr<BatchTracker>& tracker, size_t index);

  void onStart(int index);
  void onProgress(int index, int64_t downloaded, int64_t total) EXCLUDES(mutex_);
  void onComplete(int index, const ZPResponse& response) EXCLUDES(mutex_);

 private:
  // Set at construction; the batch copy handed to every callback.
  const ZPBatchRequest batch_;
  const int count_;

  Mutex mutex_;
  // Guarded by mutex_.
  std::vector<int64_t> downloaded_ GUARDED_BY(mutex_);
  std::vector<int64_t> total_ GUARDED_BY(mutex_);
  std::vector<bool> done_ GUARDED_BY(mutex_);
  // Handed (moved) to onBatchComplete once every request completed.
  std::vector<ZPResponse> responses_ GUARDED_BY(mutex_);
  // onRequestComplete calls that have returned (or were skipped).
  int reported_ GUARDED_BY(mutex_) = 0;
  bool completed_ GUARDED_BY(mutex_) = false;  // onBatchComplete has been called
  int percent_ GUARDED_BY(mutex_) = 0;  // the highest overall percentage computed so far
};

}  // namespace zephyl
