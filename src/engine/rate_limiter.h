// RateLimiter: a token bucket that holds the transfers sharing it to a rate in bytes per second.
// A transfer asks waitMicros before it takes more bytes in and charges what it took; the bucket
// may go into debt by one receive buffer, which the transfer then waits off. One per download
// (its parallel transfers share it) and one per manager (all its downloads share it); the rate
// may change at any time. Thread-safe: any thread may call any operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "diagnostics/annotated_mutex.h"

namespace zephyl {

class RateLimiter {
 public:
  // Microseconds on a steady clock.
  using Clock = std::function<int64_t()>;

  // bytesPerSecond 0 or less: no limit. nowMicros empty: std::chrono::steady_clock.
  explicit RateLimiter(int64_t bytesPerSecond = 0, Clock nowMicros = nullptr);
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  // Takes effect at once for every transfer sharing the bucket. Debt beyond a tenth of a second
  // of the new rate is forgiven, so that a transfer held at a low rate is not kept waiting for
  // long after the rate was raised (or kept at the old rate's pace after it was lowered).
  void setRate(int64_t bytesPerSecond) EXCLUDES(mutex_);
  int64_t rate() const { return rate_.load(std::memory_order_relaxed); }

  // The one check on the transfer path when no limit is set: a relaxed atomic load.
  bool limited() const { return rate_.load(std::memory_order_relaxed) > 0; }

  // Counts bytes a transfer has just taken in. No effect without a limit.
  void charge(int64_t bytes) EXCLUDES(mutex_);

  // How long a transfer must wait before it takes more bytes in: 0 when it may go on now (or no
  // limit is set), else the time until the bucket is out of debt at the current rate.
  int64_t waitMicros() EXCLUDES(mutex_);

  // How many times a charge has left the bucket in debt, i.e. a transfer had to be held back.
  // Only grows; a caller compares two readings to learn whether the limit held anything back in
  // between (the split rule does).
  int64_t holds() const { return holds_.load(std::memory_order_relaxed); }

 private:
  // Adds what the time since the last refill earns, up to the bucket's depth.
  // Requires: mutex_ held.
  void refill(int64_t now) REQUIRES(mutex_);

  // Set at construction.
  const Clock clock_;

  // Written under mutex_, read without it by limited() and rate().
  std::atomic<int64_t> rate_{0};
  std::atomic<int64_t> holds_{0};

  // A leaf lock: no other lock is taken while it is held.
  Mutex mutex_;
  // Bytes that may be taken in now; negative: the debt the transfers must wait off first.
  double tokens_ GUARDED_BY(mutex_) = 0;
  int64_t refilledAt_ GUARDED_BY(mutex_) = 0;  // clock_ time tokens_ was brought up to
};

// The buckets one transfer is held to: its download's and its manager's. Either may be null (a
// client of no manager, tests). Copied by value; the limiters outlive every transfer using them.
struct TransferLimits {
  RateLimiter* download = nullptr;
  RateLimiter* manager = nullptr;

  // The per-buffer check: two relaxed loads when no limit is set.
  bool any() const {
    return (download != nullptr && download->limited()) ||
           (manager != nullptr && manager->limited());
  }
  void charge(int64_t bytes) const {
    if (download != nullptr) download->charge(bytes);
    if (manager != nullptr) manager->charge(bytes);
  }
  // The longer of the two waits: a transfer is held to both limits.
  int64_t waitMicros() const {
    const int64_t own = download != nullptr ? download->waitMicros() : 0;
    const int64_t shared = manager != nullptr ? manager->waitMicros() : 0;
    return own > shared ? own : shared;
  }
  // Sum of both buckets' hold counts (see RateLimiter::holds).
  int64_t holds() const {
    return (download != nullptr ? download->holds() : 0) +
           (manager != nullptr ? manager->holds() : 0);
  }
};

}  // namespace zephyl
