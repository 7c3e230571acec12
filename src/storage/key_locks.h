// KeyLocks: the stored downloads (kind and file key) that one storage manager's writers hold, made
// exclusive across processes by byte locks in one lock file below the storage root, one byte per
// download at an offset from a hash of it. Another manager of the same root in this process
// opens the file separately, so its locks conflict as another process's do. When the lock file
// cannot be used, only this manager's own writers are kept apart (logged once).
// Not thread-safe: its owner calls it with its own lock held.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "storage/file_paths.h"
#include "storage/fs.h"

namespace zephyl {

class KeyLocks {
 public:
  explicit KeyLocks(std::string lockFilePath);
  ~KeyLocks();  // releases every lock still held
  KeyLocks(const KeyLocks&) = delete;
  KeyLocks& operator=(const KeyLocks&) = delete;

  // Takes the download for this owner without waiting. False when this owner already holds it
  // (or a download whose hash collides with it) or another process or manager does.
  bool tryLock(FileKind kind, const std::string& fileKey);

  // Lets go of a download taken with tryLock; nothing happens for one not held.
  void unlock(FileKind kind, const std::string& fileKey);

 private:
  // The lock file, opened on first use and again after a failed open. False when it cannot be.
  bool openLockFile();

  const std::string lockFilePath_;  // set at construction
  fs::LockFileHandle lockFile_;
  // Locked byte offsets; the value tells whether the system lock backs it (false while the lock
  // file cannot be used).
  std::unordered_map<uint64_t, bool> held_;
  bool fallbackLogged_ = false;  // the warning about in-process locking only was written
};

}  // namespace zephyl
