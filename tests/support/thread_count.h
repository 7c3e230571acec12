// The number of threads the calling process has now, as the system counts them: the entries of
// /proc/self/task on Linux (thread_count_posix.cpp), a Toolhelp snapshot of the process's threads
// on Windows (thread_count_windows.cpp). Thread-safe.
#pragma once

namespace zephyl::test {

// The process's threads at the moment of the call, the calling one included; -1 when the system
// cannot tell (no /proc, or the snapshot was refused).
int processThreadCount();

}  // namespace zephyl::test
