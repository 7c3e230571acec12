// How many library Mutexes the calling thread holds. The log defers a line meant for the host's
// callback while its thread holds one (the callback may call back into the library and need that
// very lock) and hands it over when the thread lets its last one go. Per thread; no locks.
#pragma once

namespace zephyl {

// Touched only by their own thread.
inline thread_local int locksHeldByThread = 0;
inline thread_local bool logLinesDeferred = false;  // set by the log, cleared by the delivery

// Hands the calling thread's deferred lines to the log callback (log_sink.cpp). Never throws.
void deliverDeferredLogLines() noexcept;

inline void noteLockTaken() noexcept { ++locksHeldByThread; }

inline void noteLockReleased() noexcept {
  if (--locksHeldByThread == 0 && logLinesDeferred) deliverDeferredLogLines();
}

}  // namespace zephyl
