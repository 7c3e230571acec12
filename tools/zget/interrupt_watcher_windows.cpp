// On Windows the console's Ctrl-C and Ctrl-Break arrive as SIGINT, a closing console window
// (and logoff or shutdown) as SIGTERM. The system calls the control handler on a thread of its
// own; it only records the event, and the watcher's thread does the rest as on POSIX systems.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <csignal>

#include "interrupt_watcher.h"

namespace zget {
namespace {

// The first event, as a signal number; 0 while none arrived. Set by the control handler.
std::atomic<int> pendingSignal{0};

BOOL WINAPI onConsoleControl(DWORD event) {
  const int signal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
  int none = 0;
  pendingSignal.compare_exchange_strong(none, signal);
  // Handled: the process is not ended at once, the downloads stop cleanly. A closing console
  // still ends the process once the system's grace period is over.
  return TRUE;
}

}  // namespace

void InterruptWatcher::blockSignals() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

void InterruptWatcher::stop() {
  stopping_.store(true, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
}

void InterruptWatcher::run() {
  while (!stopping_.load(std::memory_order_acquire)) {
    const int received = pendingSignal.load(std::memory_order_acquire);
    if (received != 0 && signal_.load(std::memory_order_acquire) == 0) {
      signal_.store(received, std::memory_order_release);
    }
    if (signal_.load(std::memory_order_acquire) != 0 && onInterrupt_) onInterrupt_();
    Sleep(100);
  }
}

}  // namespace zget
