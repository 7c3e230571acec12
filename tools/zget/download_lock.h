// DownloadLocks: one lock file per URL below the storage root, held while this process
// downloads it, so that two zget processes sharing a cache never write one stored download at
// once (a second `zget URL` started by mistake in another terminal). The kernel drops the locks
// of a process that dies. One thread at a time (main's).
#pragma once

#include <string>
#include <unordered_map>

namespace zget {

class DownloadLocks {
 public:
  // Lock files live in lockDir, which is created when needed.
  explicit DownloadLocks(std::string lockDir);
  ~DownloadLocks();  // releases every lock held, removing its file
  DownloadLocks(const DownloadLocks&) = delete;
  DownloadLocks& operator=(const DownloadLocks&) = delete;

  // True when this process holds the lock of url (now or already). False when another process
  // holds it (*busy true) or the lock file cannot be made (*busy false, *error says why).
  bool acquire(const std::string& url, bool* busy, std::string* error);

 private:
  std::string pathFor(const std::string& url) const;

  const std::string lockDir_;                  // set at construction
  std::unordered_map<std::string, int> held_;  // lock file path -> open descriptor
};

}  // namespace zget
