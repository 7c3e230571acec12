#include "engine/rate_limiter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace zephyl {
namespace {

int64_t steadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The bucket holds at most a tenth of a second of the rate: after an idle spell the transfers
// may catch up that much at once, no more, so the rate over any second stays close to the limit.
double depthOf(int64_t rate) { return std::max(1.0, static_cast<double>(rate) / 10.0); }

}  // namespace

RateLimiter::RateLimiter(int64_t bytesPerSecond, Clock nowMicros)
    : clock_(nowMicros ? std::move(nowMicros) : Clock(steadyMicros)) {
  setRate(bytesPerSecond);
}

void RateLimiter::setRate(int64_t bytesPerSecond) {
  const int64_t rate = std::max<int64_t>(0, bytesPerSecond);
  MutexLock lock(mutex_);
  const int64_t now = clock_();
  if (limited()) {
    refill(now);
  } else {
    // A new limit starts from an empty bucket: no burst on top of what was just received freely.
    tokens_ = 0;
  }
  refilledAt_ = now;
  rate_.store(rate, std::memory_order_relaxed);
  if (rate > 0) tokens_ = std::clamp(tokens_, -depthOf(rate), depthOf(rate));
}

void RateLimiter::refill(int64_t now) {
  const int64_t rate = rate_.load(std::memory_order_relaxed);
  const int64_t elapsed = now - refilledAt_;
  if (elapsed <= 0) return;
  refilledAt_ = now;
  tokens_ = std::min(depthOf(rate), tokens_ + static_cast<double>(rate) *
                                                  static_cast<double>(elapsed) / 1e6);
}

void RateLimiter::charge(int64_t bytes) {
  if (!limited() || bytes <= 0) return;
  MutexLock lock(mutex_);
  if (!limited()) return;  // lifted meanwhile
  refill(clock_());
  tokens_ -= static_cast<double>(bytes);
  if (tokens_ < 0) holds_.fetch_add(1, std::memory_order_relaxed);
}

int64_t RateLimiter::waitMicros() {
  if (!limited()) return 0;
  MutexLock lock(mutex_);
  const int64_t rate = rate_.load(std::memory_order_relaxed);
  if (rate <= 0) return 0;
  refill(clock_());
  if (tokens_ >= 0) return 0;
  return static_cast<int64_t>(std::ceil(-tokens_ * 1e6 / static_cast<double>(rate)));
}

}  // namespace zephyl
