#include "storage/upkeep_thread.h"

#include <system_error>
#include <utility>

namespace zephyl {

UpkeepThread::UpkeepThread(Job job) : job_(std::move(job)) {}

UpkeepThread::~UpkeepThread() { stop(); }

void UpkeepThread::request() {
  MutexLock lock(mutex_);
  pending_ = true;
  if (running_) return;  // the loop sees pending_ before it ends
  try {
    thread_ = std::thread([this] { run(); });
    running_ = true;
  } catch (const std::system_error&) {
    // No thread to be had now: the request waits for the next one.
  }
}

void UpkeepThread::stop() {
  MutexLock lock(mutex_);
  stopRequested_ = true;
  while (running_) ended_.wait(mutex_);
  stopRequested_ = false;
}

void UpkeepThread::waitIdle() {
  MutexLock lock(mutex_);
  while (running_) ended_.wait(mutex_);
}

void UpkeepThread::run() {
  for (;;) {
    {
      MutexLock lock(mutex_);
      if (!pending_ || stopRequested_) {
        running_ = false;
        // Nobody joins it: its owner may live until the process ends (a storage manager does).
        // After this the thread only lets the mutex go and returns.
        thread_.detach();
        ended_.notifyAll();
        return;
      }
      pending_ = false;
    }
    job_(stopRequested_);
  }
}

}  // namespace zephyl
