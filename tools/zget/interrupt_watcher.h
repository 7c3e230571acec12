// InterruptWatcher: turns SIGINT and SIGTERM into calls of a handler on a thread of its own, so
// that the handler may call the download library (no signal handler ever does). Requires
// blockSignals() in main before any other thread starts: every thread then inherits the blocked
// mask and the signals wait for this watcher. On Windows the console's control events stand for
// the signals (interrupt_watcher_windows.cpp). start/stop from one thread; the rest thread-safe.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace zget {

class InterruptWatcher {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread (and so in every thread it starts later)
  // and ignores SIGPIPE, so that writes to a closed pipe fail with EPIPE instead.
  static void blockSignals();

  // onInterrupt runs on the watcher's thread when the first signal arrives, then again every
  // 100 ms until stop(): a request that a queue handed out just as the first call ran is caught
  // by a later one. Further signals are swallowed; clean-up finishes without them.
  explicit InterruptWatcher(std::function<void()> onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  void start();
  void stop();  // returns within about 100 ms
  // The first signal that arrived, 0 when none did.
  int signalNumber() const { return signal_.load(std::memory_order_acquire); }

 private:
  void run();

  const std::function<void()> onInterrupt_;  // set at construction
  std::atomic<bool> stopping_{false};
  std::atomic<int> signal_{0};
  std::thread thread_;
};

}  // namespace zget
