// Mutex, MutexLock and ConditionVariable: std::mutex, a scoped lock and std::condition_variable
// with thread-safety annotations, so that a clang build with -Wthread-safety checks every
// GUARDED_BY member and every REQUIRES function against the locks actually held. They cost what
// the standard types cost. Thread-safe, as the types they wrap.
// Each thread counts the Mutexes it holds (diagnostics/held_locks.h), so that the log hands the
// host's callback a line only once its thread holds none of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "diagnostics/held_locks.h"
#include "diagnostics/thread_annotations.h"

namespace zephyl {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    noteLockTaken();
  }
  void unlock() RELEASE() {
    mutex_.unlock();
    noteLockReleased();
  }
  // True when the mutex was free and is now held by the caller; never waits.
  [[nodiscard]] bool tryLock() TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
    noteLockTaken();
    return true;
  }

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

}  // namespace zephyl
