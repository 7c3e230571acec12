// The platform-free part of InterruptWatcher; the waiting and waking are per platform
// (interrupt_watcher_posix.cpp, interrupt_watcher_windows.cpp).
#include "interrupt_watcher.h"

#include <utility>

namespace zget {

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {}

InterruptWatcher::~InterruptWatcher() { stop(); }

void InterruptWatcher::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

}  // namespace zget
