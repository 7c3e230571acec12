// TransferLoop: one libcurl multi handle driven by one thread, on which every transfer of its
// owner (a manager, or one download) runs; the multi handle keeps the connections for all of
// them. add and post are thread-safe; everything a LoopTransfer is told runs on the loop thread,
// which must never block: a transfer hands disk work and host callbacks to other threads.
// The thread starts with the first add or post. Must not be destroyed on its own thread.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "diagnostics/annotated_mutex.h"
#include "engine/curl_easy.h"

namespace zephyl {

// One transfer as the loop drives it. Every call comes from the loop thread.
class LoopTransfer {
 public:
  virtual ~LoopTransfer() = default;

  // Sets the transfer's options on easy (reset, maybe not opened yet; the transfer may open or
  // renew it). True: the loop adds it to the multi handle. False: the transfer has ended by
  // itself and is dropped without being told finish.
  virtual bool start(CurlEasy& easy) = 0;
  // Asked after every wake while the transfer runs: CURLE_OK to go on, else the result it ends
  // with now (a cancellation, a stall, a refused write). May lower *waitMs, the longest the loop
  // sleeps before it asks again.
  virtual CURLcode check(std::chrono::steady_clock::time_point now, int* waitMs) = 0;
  // The transfer ended with result. easy is out of the multi handle and still tells what it knows
  // (curl_easy_getinfo); it is reset and reused once this returns.
  virtual void finish(CURL* easy, CURLcode result) = 0;
};

class TransferLoop {
 public:
  // Runs at most maxTransfers transfers at once (at least one); later ones wait in order.
  explicit TransferLoop(int maxTransfers);
  // Stops the thread after it ran the jobs already posted; transfers still queued or running are
  // ended with CURLE_ABORTED_BY_CALLBACK (their owners wait for them first, so there are none).
  ~TransferLoop();
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  // Queues transfer; the loop starts it as soon as fewer than maxTransfers run. False (with the
  // system's reason in *refusal, may be null) when the loop thread could not be started or the
  // loop is stopping: the transfer is not queued. Any thread.
  [[nodiscard]] bool add(std::shared_ptr<LoopTransfer> transfer, std::error_code* refusal)
      EXCLUDES(mutex_);
  // Runs job on the loop thread soon, before the loop waits again. False as add. Any thread.
  [[nodiscard]] bool post(std::function<void()> job, std::error_code* refusal = nullptr)
      EXCLUDES(mutex_);

  // Transfers in the multi handle now. Loop thread only (tests look at it through post).
  size_t runningTransfers() const { return running_.size(); }

 private:
  struct Running {
    std::shared_ptr<LoopTransfer> transfer;
    std::unique_ptr<CurlEasy> easy;
  };

  // Requires: mutex_ held. Starts the thread unless it runs; false as add.
  bool ensureThread(std::error_code* refusal) REQUIRES(mutex_);
  void run() EXCLUDES(mutex_);
  // Loop thread: takes posted jobs and starts queued transfers while there is room. False once
  // the loop is to stop and has nothing left to run.
  bool takeWork() EXCLUDES(mutex_);
  void startTransfer(std::shared_ptr<LoopTransfer> transfer);
  // Loop thread: takes running_[index] out of the multi handle and tells it result.
  void end(size_t index, CURLcode result);
  std::unique_ptr<CurlEasy> takeEasy();

  // Set at construction.
  const size_t maxTransfers_;

  // Lock order: mutex_ is the last lock; no transfer or job runs while it is held.
  Mutex mutex_;
  std::deque<std::shared_ptr<LoopTransfer>> queued_ GUARDED_BY(mutex_);
  std::vector<std::function<void()>> posted_ GUARDED_BY(mutex_);
  bool stop_ GUARDED_BY(mutex_) = false;
  bool started_ GUARDED_BY(mutex_) = false;
  CURLM* multi_ GUARDED_BY(mutex_) = nullptr;  // owned; made with the thread, woken through it
  std::thread thread_ GUARDED_BY(mutex_);

  // Touched only by the loop thread.
  std::vector<Running> running_;
  std::vector<std::unique_ptr<CurlEasy>> idleEasy_;  // reset handles, reused most recent first
  CURLM* loopMulti_ = nullptr;                       // multi_, as the loop thread reads it
};

}  // namespace zephyl
