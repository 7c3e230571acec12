// SpeedMeter: the rate of one download over its last seconds, from counts sampled at any
// steady pace. Counts may grow in steps (a whole block stored at once): the rate is measured
// between the moments the count changed, so a window that holds two steps of three is not read
// as two thirds of the rate. One thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace zget {

class SpeedMeter {
 public:
  // The count at nowMs (milliseconds of a steady clock, never going back).
  void add(int64_t nowMs, int64_t bytes);
  // Bytes per second at nowMs; 0 until two changes were seen. A count that has not changed for
  // twice the usual time between its changes counts the quiet time too, so that a stalled
  // download's rate falls.
  double bytesPerSecond(int64_t nowMs) const;
  void clear() { changes_.clear(); }

  // Changes older than this are dropped, two always kept.
  static constexpr int64_t kWindowMs = 3000;

 private:
  std::deque<std::pair<int64_t, int64_t>> changes_;  // (ms, bytes) where the count changed
};

}  // namespace zget
