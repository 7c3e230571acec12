// Mutex, MutexLock and ConditionVariable for zget: std::mutex, a scoped lock and
// std::condition_variable with clang's thread-safety attributes, so that a clang build with
// -Wthread-safety checks every ZGET_GUARDED_BY member against the locks actually held; other
// compilers see the standard types. zget is a host program and uses only the library's public
// headers, hence its own copy; the macros carry a prefix so that they never meet the library's.
// Thread-safe, as the types they wrap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ZGET_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZGET_THREAD_ANNOTATION(x)
#endif

#define ZGET_CAPABILITY(name) ZGET_THREAD_ANNOTATION(capability(name))
#define ZGET_SCOPED_CAPABILITY ZGET_THREAD_ANNOTATION(scoped_lockable)
// The member is read and written only with the mutex held.
#define ZGET_GUARDED_BY(mutex) ZGET_THREAD_ANNOTATION(guarded_by(mutex))
// The caller holds the mutex and still holds it on return.
#define ZGET_REQUIRES(...) ZGET_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the mutex: the function takes it itself.
#define ZGET_EXCLUDES(...) ZGET_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZGET_ACQUIRE(...) ZGET_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZGET_RELEASE(...) ZGET_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace zget {

class ZGET_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ZGET_ACQUIRE() { mutex_.lock(); }
  void unlock() ZGET_RELEASE() { mutex_.unlock(); }

 private:
  friend class ConditionVariable;
  std::mutex mutex_;
};

// Holds a Mutex from construction to destruction, like std::lock_guard.
class ZGET_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ZGET_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() ZGET_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// std::condition_variable for a Mutex. A wait may also return without a notification: call it
// in a loop that tests the condition, with the mutex held.
class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void notifyAll() noexcept { condition_.notify_all(); }

  // Releases mutex while it waits, until deadline, and holds it again on return. False when it
  // returned because the deadline passed.
  template <typename Clock, typename Duration>
  bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      ZGET_REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const std::cv_status status = condition_.wait_until(lock, deadline);
    lock.release();  // the caller's scope still owns the mutex
    return status == std::cv_status::no_timeout;
  }

 private:
  std::condition_variable condition_;
};

}  // namespace zget
