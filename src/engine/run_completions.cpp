#include "engine/run_completions.h"

namespace zephyl {

size_t RunCompletions::enrol() {
  MutexLock lock(mutex_);
  done_.push_back(false);
  return done_.size() - 1;
}

void RunCompletions::markDone(size_t serial) {
  MutexLock lock(mutex_);
  done_[serial] = true;
  ++doneCount_;
  signal_.notifyAll();
}

bool RunCompletions::isDone(size_t serial) {
  MutexLock lock(mutex_);
  return done_[serial];
}

uint64_t RunCompletions::doneCount() {
  MutexLock lock(mutex_);
  return doneCount_;
}

void RunCompletions::waitPast(uint64_t seen, bool recheck, std::chrono::milliseconds recheckAfter) {
  MutexLock lock(mutex_);
  while (doneCount_ == seen) {
    if (!recheck) {
      signal_.wait(mutex_);
    } else if (!signal_.waitFor(mutex_, recheckAfter)) {
      return;
    }
  }
}

void RunCompletions::waitForAll(const RunList& runs) {
  MutexLock lock(mutex_);
  while (!allDone(runs)) signal_.wait(mutex_);
}

bool RunCompletions::allDone(const RunList& runs) const {
  for (const auto& run : runs) {
    if (!done_[run->serial]) return false;
  }
  return true;
}

}  // namespace zephyl
