// runProgram: runs a program of the test suite as a child process and waits for it, bounded.
// One implementation per platform (fork and exec; CreateProcessW). Thread-safe.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace zephyl::test {

// Runs program with args (UTF-8), its environment being this process's with env laid over it,
// standard output and error into outputPath (created or truncated). Waits at most timeoutMs,
// then kills it. Returns its exit status, or -1 when it could not start or had to be killed.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputPath,
               int timeoutMs);

}  // namespace zephyl::test
