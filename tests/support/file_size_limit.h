// FileSizeLimit: lowers this process's file-size limit for the lifetime of the object, so that a
// write past it fails with EFBIG (SIGXFSZ ignored meanwhile) the way a full disk fails a write.
// Restores the limit and the signal's handler at destruction. One thread at a time; no other
// thread may write files meanwhile. Windows has no such limit: there supported() is false and
// the tests that need one skip themselves with kUnsupportedReason.
#pragma once

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <cstdint>

namespace zephyl::test {

#ifndef _WIN32

class FileSizeLimit {
 public:
  static constexpr bool supported() { return true; }

  explicit FileSizeLimit(uint64_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = static_cast<rlim_t>(limit);
    applied_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool applied() const { return applied_; }

 private:
  rlimit saved_{};
  sighandler_t previousHandler_ = SIG_DFL;
  bool applied_ = false;
};

#else

class FileSizeLimit {
 public:
  static constexpr bool supported() { return false; }

  explicit FileSizeLimit(uint64_t) {}
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool applied() const { return false; }
};

#endif

constexpr const char* kNoFileSizeLimit =
    "no per-process file-size limit on Windows to make a write fail as on a full disk";

}  // namespace zephyl::test
