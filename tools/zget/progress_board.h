// ProgressBoard: what the downloads of one run report, for the progress display to read.
// Thread-safe. The library calls the reporting operations on its threads, progress() once per
// stored buffer, so progress() only stores atomics; the rarer events (start, end, interrupt)
// also wake the display through the event channel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "annotated_locks/annotated_mutex.h"

namespace zget {

using annotated_locks::ConditionVariable;
using annotated_locks::Mutex;
using annotated_locks::MutexLock;

// kUpToDate: not fetched, the existing file is as new as the server's (-N). kComplete: the
// partial file -c was to continue was whole already.
enum SlotState : int {
  kQueued = 0,
  kRunning = 1,
  kSucceeded = 2,
  kFailed = 3,
  kUpToDate = 4,
  kComplete = 5,
  kClosed = 6,  // its output's reader went away (the pipe of -o - closed): nothing to report
};

// One download of the run.
struct DownloadSlot {
  DownloadSlot(std::string displayName, std::string shownPath)
      : name(std::move(displayName)), path(std::move(shownPath)) {}

  const std::string name;  // set at construction
  // Where the result goes, as the final note shows it: set at construction, changed only by
  // finished() before it stores the state (readers load the state first).
  std::string path;
  // Atomic: written by the library's threads, read by the display.
  std::atomic<int64_t> downloaded{0};
  std::atomic<int64_t> total{0};  // 0 until the length is known
  std::atomic<int64_t> resumedFrom{0};  // bytes stored by earlier runs, not fetched by this one
  std::atomic<int64_t> startedAtMs{0};
  std::atomic<int64_t> endedAtMs{0};
  std::atomic<int> state{kQueued};  // a SlotState; stored last, after the counters
};

class ProgressBoard {
 public:
  // One slot per download, in batch order, named for the display, with the path of its result
  // (paths[i] for names[i]).
  ProgressBoard(const std::vector<std::string>& names, const std::vector<std::string>& paths);
  ProgressBoard(const ProgressBoard&) = delete;
  ProgressBoard& operator=(const ProgressBoard&) = delete;

  size_t size() const { return slots_.size(); }
  const DownloadSlot& slot(size_t index) const { return slots_[index]; }

  // Reporting, from any thread. Indexes outside the board are ignored.
  // Before the run: index starts with stored of total bytes kept by an earlier run.
  void resumes(int index, int64_t stored, int64_t total);
  void started(int index);
  void progress(int index, int64_t downloaded, int64_t total);
  // state: kSucceeded, kFailed, kUpToDate, kComplete or kClosed; path: where the result went when not empty.
  void finished(int index, SlotState state, int64_t length, const std::string& path);
  void interrupted();

  bool isInterrupted() const { return interrupted_.load(std::memory_order_acquire); }

  // Milliseconds of a steady clock, the time base of startedAtMs and endedAtMs.
  static int64_t nowMs();

  // Event channel. wake() counts an event; waitForEvent returns when an event arrived after
  // *seen (updating it) or at deadline, whichever comes first.
  void wake() EXCLUDES(mutex_);
  void waitForEvent(uint64_t* seen, std::chrono::steady_clock::time_point deadline)
      EXCLUDES(mutex_);

 private:
  DownloadSlot* find(int index);

  std::deque<DownloadSlot> slots_;  // set at construction; the slots' fields are atomic

  std::atomic<bool> interrupted_{false};

  Mutex mutex_;
  ConditionVariable changed_;  // with mutex_: events_ grew
  uint64_t events_ GUARDED_BY(mutex_) = 0;
};

}  // namespace zget
