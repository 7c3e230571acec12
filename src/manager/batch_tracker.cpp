#include "manager/batch_tracker.h"

#include <algorithm>
#include <utility>

#include "diagnostics/host_call.h"

namespace zephyl {

BatchTracker::BatchTracker(ZPBatchRequest batch)
    : batch_(std::move(batch)),
      count_(static_cast<int>(batch_.requests.size())),
      downloaded_(batch_.requests.size(), 0),
      total_(batch_.requests.size(), 0),
      done_(batch_.requests.size(), false),
      responses_(batch_.requests.size()) {}

ZPRequest BatchTracker::wrapRequest(const std::shared_ptr<BatchTracker>& tracker, size_t index) {
  const ZPBatchRequest& batch = tracker->batch_;
  ZPRequest request = batch.requests.at(index);
  const int at = static_cast<int>(index);
  request.onStart = nullptr;
  request.onProgress = nullptr;
  request.onComplete = nullptr;
  if (batch.onRequestStart) {
    request.onStart = [tracker, at](const ZPRequest&) { tracker->onStart(at); };
  }
  if (batch.onRequestProgress) {
    request.onProgress = [tracker, at](const ZPRequest&, int64_t downloaded, int64_t total) {
      tracker->onProgress(at, downloaded, total);
    };
  }
  if (batch.onBatchComplete) {
    request.onComplete = [tracker, at](const ZPRequest&, const ZPResponse& response) {
      tracker->onComplete(at, response);
    };
  }
  return request;
}

void BatchTracker::onStart(int index) {
  callHost("onRequestStart", batch_.onRequestStart, batch_, index);
}

void BatchTracker::onProgress(int index, int64_t downloaded, int64_t total) {
  int percent = 0;
  {
    MutexLock lock(mutex_);
    downloaded_[index] = downloaded;
    total_[index] = total;
    // Each request with a known total counts its own truncated percentage; the sum is divided
    // by the number of requests, so requests not yet under way count 0.
    int sum = 0;
    for (int i = 0; i < count_; ++i) {
      if (total_[i] > 0) {
        sum += static_cast<int>(static_cast<double>(downloaded_[i]) /
                                static_cast<double>(total_[i]) * 100.0);
      }
    }
    // Reports of several downloads interleave: the batch's percentage never goes back.
    percent = std::max(sum / count_, percent_);
    percent_ = percent;
  }
  callHost("onRequestProgress", batch_.onRequestProgress, batch_, index, downloaded, total,
           percent);
}

void BatchTracker::onComplete(int index, const ZPResponse& response) {
  {
    MutexLock lock(mutex_);
    // A request completes once; a second report for the same position is ignored.
    if (done_[index]) return;
    done_[index] = true;
    responses_[index] = response;
  }
  // Counted below whether or not the callback returns normally: one that throws must not keep
  // onBatchComplete from running.
  callHost("onRequestComplete", batch_.onRequestComplete, batch_, index, response);
  std::vector<ZPResponse> responses;
  {
    MutexLock lock(mutex_);
    // Counted after onRequestComplete returned, so onBatchComplete follows every one of them.
    if (++reported_ < count_ || completed_) return;
    completed_ = true;
    // Nothing reads them here again: the batch's one list goes to the callback.
    responses = std::move(responses_);
  }
  callHost("onBatchComplete", batch_.onBatchComplete, batch_, responses);
}

}  // namespace zephyl
