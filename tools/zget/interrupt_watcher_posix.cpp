#include "interrupt_watcher.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace zget {
namespace {

// SIGUSR1 only wakes the watcher when it is told to stop.
constexpr int kWakeSignal = SIGUSR1;

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kWakeSignal);
  return set;
}

}  // namespace

void InterruptWatcher::blockSignals() {
  const sigset_t set = interruptSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void InterruptWatcher::stop() {
  stopping_.store(true, std::memory_order_release);
  if (!thread_.joinable()) return;
  // Ends the wait at once instead of at the next tick: a finished run exits without delay.
  pthread_kill(thread_.native_handle(), kWakeSignal);
  thread_.join();
}

void InterruptWatcher::run() {
  const sigset_t set = interruptSignals();
  const timespec tick{0, 100L * 1000 * 1000};
  while (!stopping_.load(std::memory_order_acquire)) {
    const int received = sigtimedwait(&set, nullptr, &tick);
    if (received == kWakeSignal) continue;
    if (received > 0 && signal_.load(std::memory_order_acquire) == 0) {
      signal_.store(received, std::memory_order_release);
    }
    if (signal_.load(std::memory_order_acquire) != 0 && onInterrupt_) onInterrupt_();
  }
}

}  // namespace zget
