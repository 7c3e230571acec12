// Mutex, MutexLock and ConditionVariable: std::mutex, a scoped lock and std::condition_variable
// with thread-safety annotations, so that a clang build with -Wthread-safety checks every
// GUARDED_BY member and every REQUIRES function against the locks actually held. They cost what
// the standard types cost. Thread-safe, as the types they wrap. Header-only, never installed.
// The types are templates over LockHooks, told each time the mutex is taken or let go: the
// programs beside the library use them without hooks (Mutex, MutexLock, ConditionVariable), the
// library with hooks that count the locks each thread holds (src/diagnostics/annotated_mutex.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "annotated_locks/thread_annotations.h"

namespace annotated_locks {

// Hooks that do nothing. A hook type has two static noexcept functions, taken() and released(),
// called by the thread that took or let go of the mutex.
struct NoLockHooks {
  static void taken() noexcept {}
  static void released() noexcept {}
};

template <typename LockHooks>
class BasicConditionVariable;

template <typename LockHooks>
class CAPABILITY("mutex") BasicMutex {
 public:
  BasicMutex() = default;
  BasicMutex(const BasicMutex&) = delete;
  BasicMutex& operator=(const BasicMutex&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    LockHooks::taken();
  }
  void unlock() RELEASE() {
    mutex_.unlock();
    LockHooks::released();
  }
  // True when the mutex was free and is now held by the caller; never waits.
  [[nodiscard]] bool tryLock() TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
    LockHooks::taken();
    return true;
  }

 private:
  friend class BasicConditionVariable<LockHooks>;
  std::mutex mutex_;
};

// Tag of the MutexLock constructor that takes over a mutex the caller already holds.
struct AdoptLock {
  explicit AdoptLock() = default;
};
inline constexpr AdoptLock kAdoptLock{};

// Holds a mutex from construction to destruction, like std::lock_guard; unlock and lock let a
// scope let the mutex go for a while (the destructor releases it only when held).
template <typename LockHooks>
class SCOPED_CAPABILITY BasicMutexLock {
 public:
  explicit BasicMutexLock(BasicMutex<LockHooks>& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  // Takes over a mutex the caller holds (after a successful tryLock).
  BasicMutexLock(BasicMutex<LockHooks>& mutex, AdoptLock) REQUIRES(mutex) : mutex_(mutex) {}
  ~BasicMutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  BasicMutexLock(const BasicMutexLock&) = delete;
  BasicMutexLock& operator=(const BasicMutexLock&) = delete;

  void unlock() RELEASE() {
    held_ = false;
    mutex_.unlock();
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  BasicMutex<LockHooks>& mutex_;
  bool held_ = true;
};

// std::condition_variable for a mutex. Every wait may also return without a notification: call
// it in a loop that tests the condition, with the mutex held, e.g.
//   MutexLock lock(mutex_);
//   while (!ready_) readySignal_.wait(mutex_);
// A waiting thread still counts the mutex as held for its hooks: it runs nothing meanwhile.
template <typename LockHooks>
class BasicConditionVariable {
 public:
  BasicConditionVariable() = default;
  BasicConditionVariable(const BasicConditionVariable&) = delete;
  BasicConditionVariable& operator=(const BasicConditionVariable&) = delete;

  void notifyOne() noexcept { condition_.notify_one(); }
  void notifyAll() noexcept { condition_.notify_all(); }

  // Releases mutex while it waits and holds it again on return.
  void wait(BasicMutex<LockHooks>& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();  // the caller's scope still owns the mutex
  }

  // As wait, for at most timeout. False when it returned because the time ran out.
  template <typename Rep, typename Period>
  bool waitFor(BasicMutex<LockHooks>& mutex, const std::chrono::duration<Rep, Period>& timeout)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const std::cv_status status = condition_.wait_for(lock, timeout);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

  // As wait, until deadline. False when it returned because the deadline passed.
  template <typename Clock, typename Duration>
  bool waitUntil(BasicMutex<LockHooks>& mutex,
                 const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const std::cv_status status = condition_.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

 private:
  std::condition_variable condition_;
};

using Mutex = BasicMutex<NoLockHooks>;
using MutexLock = BasicMutexLock<NoLockHooks>;
using ConditionVariable = BasicConditionVariable<NoLockHooks>;

}  // namespace annotated_locks
