#include "speed_meter.h"

namespace zget {

void SpeedMeter::add(int64_t nowMs, int64_t bytes) {
  // A download reports its first count after it starts, and a resumed one starts with the bytes
  // of earlier runs: the meter begins at the first count, so those bytes are no speed.
  if (changes_.empty() && bytes <= 0) return;
  if (!changes_.empty() && changes_.back().second == bytes) return;
  changes_.emplace_back(nowMs, bytes);
  while (changes_.size() > 2 && nowMs - changes_[1].first > kWindowMs) changes_.pop_front();
}

double SpeedMeter::bytesPerSecond(int64_t nowMs) const {
  if (changes_.size() < 2) return 0;
  const int64_t firstMs = changes_.front().first;
  const int64_t lastMs = changes_.back().first;
  const int64_t bytes = changes_.back().second - changes_.front().second;
  const int64_t usualStepMs = (lastMs - firstMs) / static_cast<int64_t>(changes_.size() - 1);
  const int64_t endMs = nowMs - lastMs > 2 * usualStepMs ? nowMs : lastMs;
  if (endMs - firstMs < 300 || bytes <= 0) return 0;
  return static_cast<double>(bytes) * 1000.0 / static_cast<double>(endMs - firstMs);
}

}  // namespace zget
