// UpkeepThread: runs one job on a thread of its own whenever it is asked to, never two runs at
// once. The thread starts at a request and ends as soon as no request is left; a request made
// while the job runs makes it run once more afterwards. stop() asks a running job to end early
// (the job polls the flag it is given) and waits for the thread. The thread detaches itself as it
// ends, so an owner that is never destroyed leaves no thread to join. Thread-safe; the job must
// not call back into its UpkeepThread.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "diagnostics/annotated_mutex.h"

namespace zephyl {

class UpkeepThread {
 public:
  // The job's argument turns true when stop() wants it to end at its next check.
  using Job = std::function<void(const std::atomic<bool>& stopRequested)>;

  explicit UpkeepThread(Job job);
  ~UpkeepThread();  // stop()
  UpkeepThread(const UpkeepThread&) = delete;
  UpkeepThread& operator=(const UpkeepThread&) = delete;

  // Makes the job run soon, starting the thread when none runs. Never waits for the job; costs
  // a thread start at most. Any thread.
  void request() EXCLUDES(mutex_);

  // Asks a running job to end at its next check and waits until the thread has ended. A
  // request left over is kept: it runs at the next request(). Any thread but the job's.
  void stop() EXCLUDES(mutex_);

  // Waits until every request made so far has run and the thread has ended. Any thread but the
  // job's.
  void waitIdle() EXCLUDES(mutex_);

 private:
  void run() EXCLUDES(mutex_);

  const Job job_;  // set at construction
  std::atomic<bool> stopRequested_{false};

  Mutex mutex_;
  ConditionVariable ended_;  // with mutex_: running_ turned false
  // Guarded by mutex_.
  bool pending_ GUARDED_BY(mutex_) = false;  // a request the job has not started on yet
  bool running_ GUARDED_BY(mutex_) = false;  // the thread is in run()'s loop
  std::thread thread_ GUARDED_BY(mutex_);    // detached by the thread itself as it ends
};

}  // namespace zephyl
