#include "download_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

namespace zget {
namespace {

// 64-bit FNV-1a: a stable place for a URL of any length or content.
uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ULL;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

}  // namespace

DownloadLocks::DownloadLocks(std::string lockDir) : lockDir_(std::move(lockDir)) {}

DownloadLocks::~DownloadLocks() {
  // Closing the descriptor releases every lock taken through it.
  if (fd_ >= 0) close(fd_);
}

bool DownloadLocks::openLockFile(std::string* error) {
  if (fd_ >= 0) return true;
  std::error_code made;
  std::filesystem::create_directories(lockDir_, made);
  const std::string path = lockDir_ + "/downloads.lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = "cannot create the lock file " + path + ": " + std::generic_category().message(errno);
    return false;
  }
  return true;
}

bool DownloadLocks::acquire(const std::string& url, bool* busy, std::string* error) {
  *busy = false;
  // A byte offset in [0, 2^62): far past any real file size, which locks do not need.
  const uint64_t offset = fnv1a(url) >> 2;
  if (held_.count(offset) != 0) return true;
  if (!openLockFile(error)) return false;
  // Open-file-description locks: they conflict between processes and belong to the descriptor,
  // so the locks of other URLs through the same descriptor never interfere.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = 1;
  int result = 0;
  do {
    result = fcntl(fd_, F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int reason = errno;
    if (reason == EAGAIN || reason == EACCES) {
      *busy = true;
      return false;
    }
    *error = "cannot lock the download of " + url + ": " + std::generic_category().message(reason);
    return false;
  }
  held_.insert(offset);
  return true;
}

}  // namespace zget
