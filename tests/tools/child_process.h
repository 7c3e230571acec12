// ChildProcess: runs a program for a test, with its own arguments, environment, working
// directory and output files (or a pseudo-terminal), and waits for it with a time limit.
// One thread at a time. A child still running at destruction is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace zephyl::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (ptyFd_ >= 0) close(ptyFd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with args in directory, its environment being this process's with env laid
  // over it; standard output and error go to the two files (created or truncated), standard
  // input is /dev/null. False when fork fails.
  bool start(const std::string& program, const std::vector<std::string>& args,
             const std::string& directory, const std::map<std::string, std::string>& env,
             const std::string& stdoutPath, const std::string& stderrPath) {
    Prepared prepared(program, args, env);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      const int in = open("/dev/null", O_RDONLY);
      const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
          chdir(directory.c_str()) != 0) {
        _exit(127);
      }
      execve(prepared.argv[0], prepared.argv.data(), prepared.envp.data());
      _exit(127);
    }
    return true;
  }

  // As start, with standard input, output and error on a new pseudo-terminal whose output is
  // read back by readTerminal. Output post-processing is off, so "\n" stays "\n".
  bool startOnTerminal(const std::string& program, const std::vector<std::string>& args,
                       const std::string& directory,
                       const std::map<std::string, std::string>& env) {
    Prepared prepared(program, args, env);
    termios settings{};
    cfmakeraw(&settings);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 100;
    pid_ = forkpty(&ptyFd_, nullptr, &settings, &size);
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (chdir(directory.c_str()) != 0) _exit(127);
      execve(prepared.argv[0], prepared.argv.data(), prepared.envp.data());
      _exit(127);
    }
    return true;
  }

  // Everything the child writes to its terminal until it closes it or timeoutMs pass.
  std::string readTerminal(int timeoutMs) {
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ptyFd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd waiting{ptyFd_, POLLIN, 0};
      if (poll(&waiting, 1, 50) <= 0) continue;
      char bytes[4096];
      const ssize_t got = read(ptyFd_, bytes, sizeof bytes);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // EIO: the child closed the terminal
      output.append(bytes, static_cast<size_t>(got));
    }
    return output;
  }

  void signal(int number) {
    if (pid_ > 0) kill(pid_, number);
  }

  // Waits at most timeoutMs for the child to end. True when it ended; *exitCode is its exit
  // status, or 128 + the signal that killed it.
  bool wait(int timeoutMs, int* exitCode) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  // argv and envp built before fork, so that the child only has to exec them.
  struct Prepared {
    Prepared(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env) {
      strings.push_back(program);
      strings.insert(strings.end(), args.begin(), args.end());
      std::map<std::string, std::string> merged;
      for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
      }
      for (const auto& [name, value] : env) merged[name] = value;
      const size_t argc = strings.size();
      for (const auto& [name, value] : merged) strings.push_back(name + "=" + value);
      for (size_t i = 0; i < argc; ++i) argv.push_back(strings[i].data());
      argv.push_back(nullptr);
      for (size_t i = argc; i < strings.size(); ++i) envp.push_back(strings[i].data());
      envp.push_back(nullptr);
    }
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<char*> envp;
  };

  pid_t pid_ = -1;
  int ptyFd_ = -1;
};

}  // namespace zephyl::test
