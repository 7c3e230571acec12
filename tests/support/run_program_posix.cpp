#include "support/run_program.h"

#include <unistd.h>

#include "tools/child_process.h"

namespace zephyl::test {

int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputPath,
               int timeoutMs) {
  char directory[4096];
  if (getcwd(directory, sizeof directory) == nullptr) return -1;
  ChildProcess child;  // kills a child still running when it goes
  if (!child.start(program, args, directory, env, outputPath, outputPath)) return -1;
  int exitCode = -1;
  return child.wait(timeoutMs, &exitCode) ? exitCode : -1;
}

}  // namespace zephyl::test
