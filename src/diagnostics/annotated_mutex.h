// The library's Mutex, MutexLock and ConditionVariable: the annotated types of annotated_locks/
// with hooks that count the Mutexes each thread holds (diagnostics/held_locks.h), so that the
// log hands the host's callback a line only once its thread holds none of them.
#pragma once

#include "annotated_locks/annotated_mutex.h"
#include "diagnostics/held_locks.h"
#include "diagnostics/thread_annotations.h"

namespace zephyl {

struct HeldLockHooks {
  static void taken() noexcept { noteLockTaken(); }
  static void released() noexcept { noteLockReleased(); }
};

using Mutex = annotated_locks::BasicMutex<HeldLockHooks>;
using MutexLock = annotated_locks::BasicMutexLock<HeldLockHooks>;
using ConditionVariable = annotated_locks::BasicConditionVariable<HeldLockHooks>;
using annotated_locks::AdoptLock;
using annotated_locks::kAdoptLock;

}  // namespace zephyl
