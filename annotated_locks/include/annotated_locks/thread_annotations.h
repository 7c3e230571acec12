// Clang's thread-safety attributes as macros: which mutex guards a member, which functions need
// it held, which acquire or release it. A clang build with -Wthread-safety checks every access
// against them at compile time; other compilers see nothing. Use them with the annotated mutex of
// annotated_locks/annotated_mutex.h: std::mutex carries no annotations. The library uses these
// same definitions (src/diagnostics/thread_annotations.h includes this file).
#pragma once

#if defined(__clang__)
#define ZP_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZP_THREAD_ANNOTATION(x)
#endif

// A type that is a lock ("mutex" in the compiler's messages).
#define CAPABILITY(name) ZP_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a capability from its constructor to its destructor.
#define SCOPED_CAPABILITY ZP_THREAD_ANNOTATION(scoped_lockable)

// The member is read and written only with the mutex held.
#define GUARDED_BY(mutex) ZP_THREAD_ANNOTATION(guarded_by(mutex))
// The object the member points to is read and written only with the mutex held.
#define PT_GUARDED_BY(mutex) ZP_THREAD_ANNOTATION(pt_guarded_by(mutex))

// Lock order: this mutex is taken before (after) the ones named.
#define ACQUIRED_BEFORE(...) ZP_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZP_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the mutex ("Requires: mutex held") and still holds it on return.
#define REQUIRES(...) ZP_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the mutex: the function takes it itself.
#define EXCLUDES(...) ZP_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function returns holding the mutex (no argument: the object itself) / releases it.
#define ACQUIRE(...) ZP_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZP_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// Holds the mutex on return exactly when the function returned the first argument.
#define TRY_ACQUIRE(...) ZP_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// Tells the analysis, from here on, that the calling thread holds the mutex.
#define ASSERT_CAPABILITY(mutex) ZP_THREAD_ANNOTATION(assert_capability(mutex))
// The function returns a reference to the named mutex.
#define RETURN_CAPABILITY(mutex) ZP_THREAD_ANNOTATION(lock_returned(mutex))

// Leaves the function out of the analysis: only for code whose locking the compiler cannot
// follow, with a comment that says why it is right.
#define NO_THREAD_SAFETY_ANALYSIS ZP_THREAD_ANNOTATION(no_thread_safety_analysis)
