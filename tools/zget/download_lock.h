// DownloadLocks: a lock per URL, held while this process downloads it, so that two zget
// processes sharing a cache never write one stored download at once (a second `zget URL`
// started by mistake in another terminal). All URLs share one lock file below the storage root,
// each locking one byte of it chosen by a hash of the URL, so no file is made per download. The
// kernel drops the locks of a process that dies. One thread at a time (main's).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

namespace zget {

class DownloadLocks {
 public:
  // The lock file lives in lockDir, which is created when needed.
  explicit DownloadLocks(std::string lockDir);
  ~DownloadLocks();  // releases every lock held
  DownloadLocks(const DownloadLocks&) = delete;
  DownloadLocks& operator=(const DownloadLocks&) = delete;

  // True when this process holds the lock of url (now or already). False when another process
  // holds it (*busy true) or the lock file cannot be used (*busy false, *error says why).
  bool acquire(const std::string& url, bool* busy, std::string* error);

 private:
  // Opens the shared lock file once; false with *error set when it cannot.
  bool openLockFile(std::string* error);

  const std::string lockDir_;            // set at construction
  int fd_ = -1;                          // the lock file, open while locks are held
  std::unordered_set<uint64_t> held_;    // locked byte offsets
};

}  // namespace zget
