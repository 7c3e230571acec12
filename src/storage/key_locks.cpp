#include "storage/key_locks.h"

#include <utility>

#include "diagnostics/log.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

// 64-bit FNV-1a: a stable place for a text of any length or content, the same in every process.
uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ULL;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

// The byte of one stored download: below 2^62, far past any size the file ever has (it stays
// empty). The kind is part of the name, as the two kinds keep their files apart.
uint64_t offsetOf(FileKind kind, const std::string& fileKey) {
  const char* directory = kind == FileKind::Chunked ? "lruCache/" : "temp/";
  return fnv1a(directory + fileKey) >> 2;
}

}  // namespace

KeyLocks::KeyLocks(std::string lockFilePath) : lockFilePath_(std::move(lockFilePath)) {}

// Closing the lock file releases its locks.
KeyLocks::~KeyLocks() = default;

bool KeyLocks::tryLock(FileKind kind, const std::string& fileKey) {
  const uint64_t offset = offsetOf(kind, fileKey);
  // One lock file handle never conflicts with itself: this owner's writers are kept apart here.
  if (held_.count(offset) != 0) return false;
  if (openLockFile()) {
    switch (fs::tryLockByte(lockFile_.get(), offset)) {
      case fs::ByteLock::Locked:
        held_.emplace(offset, true);
        return true;
      case fs::ByteLock::Busy:
        return false;
      case fs::ByteLock::Failed:
        break;  // e.g. a network file system without locks
    }
  }
  // Refusing every download for want of a lock would be worse than this manager's own exclusion.
  if (!fallbackLogged_) {
    ZP_LOG(Warn) << "storage lock file unusable, downloads are locked in this process only: "
                 << lockFilePath_;
    fallbackLogged_ = true;
  }
  held_.emplace(offset, false);
  return true;
}

void KeyLocks::unlock(FileKind kind, const std::string& fileKey) {
  const auto found = held_.find(offsetOf(kind, fileKey));
  if (found == held_.end()) return;
  if (found->second) fs::unlockByte(lockFile_.get(), found->first);
  held_.erase(found);
}

bool KeyLocks::openLockFile() {
  if (!lockFile_) lockFile_ = fs::openLockFile(lockFilePath_);
  return static_cast<bool>(lockFile_);
}

}  // namespace zephyl
