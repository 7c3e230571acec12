// FileSizeLimit: lowers this process's file-size limit for the lifetime of the object, so that a
// write past it fails with EFBIG (SIGXFSZ ignored meanwhile) the way a full disk fails a write.
// Restores the limit and the signal's handler at destruction. One thread at a time; no other
// thread may write files meanwhile.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace zephyl::test {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = limit;
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

}  // namespace zephyl::test
