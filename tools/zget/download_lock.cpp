#include "download_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

namespace zget {
namespace {

// 64-bit FNV-1a: a stable name for a URL of any length or content.
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
  for (const auto& [path, fd] : held_) {
    // Removed while still locked: a process that opens the path afterwards gets a new file, and
    // one that opened the old file notices the change (see acquire).
    unlink(path.c_str());
    close(fd);
  }
}

std::string DownloadLocks::pathFor(const std::string& url) const {
  char name[32];
  std::snprintf(name, sizeof name, "%016" PRIx64 ".lock", fnv1a(url));
  return lockDir_ + "/" + name;
}

bool DownloadLocks::acquire(const std::string& url, bool* busy, std::string* error) {
  *busy = false;
  const std::string path = pathFor(url);
  if (held_.count(path) != 0) return true;
  std::error_code made;
  std::filesystem::create_directories(lockDir_, made);
  // A holder may remove the file between our open and our lock; then the lock we got is on a
  // file nobody else will look at, and we try again with the new one.
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error =
          "cannot create the lock file " + path + ": " + std::generic_category().message(errno);
      return false;
    }
    int locked = 0;
    do {
      locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      const int reason = errno;
      close(fd);
      if (reason == EWOULDBLOCK) {
        *busy = true;
        return false;
      }
      *error = "cannot lock " + path + ": " + std::generic_category().message(reason);
      return false;
    }
    struct stat opened {};
    struct stat named {};
    if (fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
      held_.emplace(path, fd);
      return true;
    }
    close(fd);
  }
  *error = "cannot lock " + path + ": it keeps changing";
  return false;
}

}  // namespace zget
