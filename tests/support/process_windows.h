// Child processes on Windows for tests that need more than runProgram: several at once, their
// own console, their process id (to send Ctrl-C). Windows only. Thread-safe.
#pragma once

// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <map>
#include <string>
#include <vector>

namespace zephyl::test {

// Starts program with args (each quoted; none may hold a quote), its environment being this
// process's with env laid over it, standard output and error into outputPath (created or
// truncated), with CreateProcessW's creationFlags. The process handle, which waitForProcess
// closes; null when it could not start. *processId (when not null) gets its id.
HANDLE startProcess(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, const std::string& outputPath,
                    DWORD creationFlags = 0, DWORD* processId = nullptr);

// Waits at most timeoutMs for process (may be null), ends it after that, and closes its handle.
// Its exit code, or -1 when it did not start or had to be ended.
int waitForProcess(HANDLE process, DWORD timeoutMs);

}  // namespace zephyl::test
