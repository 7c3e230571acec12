// RunCompletions: which runs of an attempt their workers are done with, and a signal for the
// planner to wait on. Thread-safe: workers mark, the planner's thread enrols, asks and waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "engine/planned_run.h"

namespace zephyl {

class RunCompletions {
 public:
  RunCompletions() = default;
  RunCompletions(const RunCompletions&) = delete;
  RunCompletions& operator=(const RunCompletions&) = delete;

  // A place for a new run (not yet done); returns its serial. Called by the planner's thread
  // before the run is submitted, so that marking never allocates.
  size_t enrol() EXCLUDES(mutex_);
  // The worker is done with the run of this serial: the last thing it does with the run, as the
  // planner may release it right after. Never throws.
  void markDone(size_t serial) EXCLUDES(mutex_);
  bool isDone(size_t serial) EXCLUDES(mutex_);
  // How many runs were marked done so far.
  uint64_t doneCount() EXCLUDES(mutex_);
  // Waits until more than seen runs are done; with recheck, at most that long.
  void waitPast(uint64_t seen, bool recheck, std::chrono::milliseconds recheckAfter)
      EXCLUDES(mutex_);
  // Waits until every run of the list is done.
  void waitForAll(const RunList& runs) EXCLUDES(mutex_);

 private:
  bool allDone(const RunList& runs) const REQUIRES(mutex_);

  Mutex mutex_;
  ConditionVariable signal_;  // with mutex_: a run was marked done
  uint64_t doneCount_ GUARDED_BY(mutex_) = 0;
  // By serial, every run ever enrolled: its worker is done with it.
  std::vector<bool> done_ GUARDED_BY(mutex_);
};

}  // namespace zephyl
