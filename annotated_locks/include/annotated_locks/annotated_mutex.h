// Mutex, MutexLock and ConditionVariable: std::mutex, a scoped lock and std::condition_variable
// with thread-safety annotations, so that a clang build with -Wthread-safety checks every
// GUARDED_BY member and every REQUIRES function against the locks actually held. They cost what
// the standard types cost. Thread-safe, as the types they wrap. For the programs beside the
// library (the metrics library, zget): header-only, never installed. The library has its own
// (src/diagnostics/annotated_mutex.h), whose Mutex also tells its log which locks a thread holds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "annotated_locks/thread_annotations.h"

namespace annotated_locks {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // True when the mutex was free and is now held by the caller; never waits.
  [[nodiscard]] bool tryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class ConditionVariable;
  std::mutex mutex_;
};

// Tag of the MutexLock constructor that takes over a mutex the caller already holds.
struct AdoptLock {
  explicit AdoptLock() = default;
};
inline constexpr AdoptLock kAdoptLock{};

// Holds a Mutex from construction to destruction, like std::lock_guard; unlock and lock let a
// scope let the mutex go for a while (the destructor releases it only when held).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  // Takes over a mutex the caller holds (after a successful tryLock).
  MutexLock(Mutex& mutex, AdoptLock) REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    held_ = false;
    mutex_.unlock();
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

// std::condition_variable for a Mutex. Every wait may also return without a notification: call
// it in a loop that tests the condition, with the mutex held, e.g.
//   MutexLock lock(mutex_);
//   while (!ready_) readySignal_.wait(mutex_);
class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void notifyOne() noexcept { condition_.notify_one(); }
  void notifyAll() noexcept { condition_.notify_all(); }

  // Releases mutex while it waits and holds it again on return.
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();  // the caller's scope still owns the mutex
  }

  // As wait, for at most timeout. False when it returned because the time ran out.
  template <typename Rep, typename Period>
  bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const std::cv_status status = condition_.wait_for(lock, timeout);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

  // As wait, until deadline. False when it returned because the deadline passed.
  template <typename Clock, typename Duration>
  bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const std::cv_status status = condition_.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

 private:
  std::condition_variable condition_;
};

}  // namespace annotated_locks
