#include "engine/transfer_loop.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <algorithm>
#include <utility>

namespace zephyl {
namespace {

// The longest the loop sleeps in one wait: how late a transfer's check (a cancellation) is asked
// at worst.
constexpr int kWakeMs = 100;
constexpr int kIdleWaitMs = 10000;

// A peer that closes its end makes a later write raise SIGPIPE, whose default action ends the
// process. libcurl sends with MSG_NOSIGNAL, but a TLS library may write by itself: the signal is
// blocked on the loop thread (and the threads libcurl starts from it), never for the rest of the
// host process.
void blockBrokenPipeSignal() {
#ifndef _WIN32
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  (void)pthread_sigmask(SIG_BLOCK, &signals, nullptr);
#endif
}

}  // namespace

TransferLoop::TransferLoop(int maxTransfers)
    : maxTransfers_(static_cast<size_t>(std::max(1, maxTransfers))) {}

TransferLoop::~TransferLoop() {
  std::thread thread;
  CURLM* multi = nullptr;
  {
    MutexLock lock(mutex_);
    stop_ = true;
    if (multi_ != nullptr) (void)curl_multi_wakeup(multi_);
    thread = std::move(thread_);
    multi = multi_;
  }
  if (thread.joinable()) thread.join();
  // The loop ended every transfer; the easy handles go before the multi handle they used.
  idleEasy_.clear();
  if (multi != nullptr) curl_multi_cleanup(multi);
}

bool TransferLoop::ensureThread(std::error_code* refusal) {
  if (stop_) {
    if (refusal != nullptr) *refusal = std::make_error_code(std::errc::operation_canceled);
    return false;
  }
  if (started_) return true;
  // The first easy handle initialises libcurl, which must precede the multi handle.
  auto first = std::make_unique<CurlEasy>();
  if (!first->open() || (multi_ == nullptr && (multi_ = curl_multi_init()) == nullptr)) {
    if (refusal != nullptr) *refusal = std::make_error_code(std::errc::not_enough_memory);
    return false;
  }
  // Downloads to one HTTP/2 server share its connection; HTTP/1.1 ranges each have their own.
  (void)curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  loopMulti_ = multi_;
  if (idleEasy_.empty()) idleEasy_.push_back(std::move(first));
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    if (refusal != nullptr) *refusal = error.code();
    return false;
  }
  started_ = true;
  return true;
}

bool TransferLoop::add(std::shared_ptr<LoopTransfer> transfer, std::error_code* refusal) {
  MutexLock lock(mutex_);
  if (!ensureThread(refusal)) return false;
  queued_.push_back(std::move(transfer));
  (void)curl_multi_wakeup(multi_);
  return true;
}

bool TransferLoop::post(std::function<void()> job, std::error_code* refusal) {
  MutexLock lock(mutex_);
  if (!ensureThread(refusal)) return false;
  posted_.push_back(std::move(job));
  (void)curl_multi_wakeup(multi_);
  return true;
}

bool TransferLoop::takeWork() {
  std::vector<std::function<void()>> jobs;
  std::vector<std::shared_ptr<LoopTransfer>> starting;
  bool stopping = false;
  {
    MutexLock lock(mutex_);
    jobs.swap(posted_);
    while (!queued_.empty() && running_.size() + starting.size() < maxTransfers_) {
      starting.push_back(std::move(queued_.front()));
      queued_.pop_front();
    }
    stopping = stop_;
  }
  for (auto& job : jobs) {
    try {
      job();
    } catch (...) {
      // A job's failure is its own; the loop goes on.
    }
  }
  for (auto& transfer : starting) startTransfer(std::move(transfer));
  if (!stopping) return true;
  // Stopping: whatever still runs ends now, and the jobs its end posted run.
  for (;;) {
    while (!running_.empty()) end(running_.size() - 1, CURLE_ABORTED_BY_CALLBACK);
    {
      MutexLock lock(mutex_);
      if (posted_.empty()) return false;
      jobs.clear();
      jobs.swap(posted_);
    }
    for (auto& job : jobs) {
      try {
        job();
      } catch (...) {
        // As above.
      }
    }
  }
}

std::unique_ptr<CurlEasy> TransferLoop::takeEasy() {
  if (idleEasy_.empty()) return std::make_unique<CurlEasy>();
  std::unique_ptr<CurlEasy> easy = std::move(idleEasy_.back());
  idleEasy_.pop_back();
  return easy;
}

void TransferLoop::startTransfer(std::shared_ptr<LoopTransfer> transfer) {
  std::unique_ptr<CurlEasy> easy = takeEasy();
  bool added = false;
  try {
    added = transfer->start(*easy);
  } catch (...) {
    added = false;  // the transfer ended itself before it threw, or has nothing to end
  }
  if (!added) {
    easy->reset();
    idleEasy_.push_back(std::move(easy));
    return;
  }
  running_.push_back(Running{std::move(transfer), std::move(easy)});
  if (curl_multi_add_handle(loopMulti_, running_.back().easy->get()) != CURLM_OK) {
    // Never in the multi handle: end it as libcurl would a handle it could not start.
    end(running_.size() - 1, CURLE_FAILED_INIT);
  }
}

void TransferLoop::end(size_t index, CURLcode result) {
  Running ending = std::move(running_[index]);
  if (index + 1 != running_.size()) running_[index] = std::move(running_.back());
  running_.pop_back();
  (void)curl_multi_remove_handle(loopMulti_, ending.easy->get());
  try {
    ending.transfer->finish(ending.easy->get(), result);
  } catch (...) {
    // finish owns its failures; the handle is reused all the same.
  }
  ending.easy->reset();
  idleEasy_.push_back(std::move(ending.easy));
}

void TransferLoop::run() {
  blockBrokenPipeSignal();
  int waitMs = 0;
  while (takeWork()) {
    (void)curl_multi_poll(loopMulti_, nullptr, 0, waitMs, nullptr);
    int stillRunning = 0;
    (void)curl_multi_perform(loopMulti_, &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(loopMulti_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode result = message->data.result;
      for (size_t i = 0; i < running_.size(); ++i) {
        if (running_[i].easy->get() == easy) {
          end(i, result);
          break;
        }
      }
    }
    waitMs = kWakeMs;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < running_.size();) {
      CURLcode result = CURLE_OK;
      try {
        result = running_[i].transfer->check(now, &waitMs);
      } catch (...) {
        result = CURLE_OUT_OF_MEMORY;
      }
      if (result != CURLE_OK) {
        end(i, result);  // moves the last one to i: looked at next
      } else {
        ++i;
      }
    }
    // With nothing running only a new transfer or job (which wakes the loop) has to be seen.
    waitMs = running_.empty() ? kIdleWaitMs : std::clamp(waitMs, 0, kWakeMs);
  }
}

}  // namespace zephyl
