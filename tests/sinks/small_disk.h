// SmallDisk: a tmpfs of a given size mounted for one test at a directory of its own, so that a
// test can fill a disk without filling the machine's. Needs Linux and the right to mount (root);
// elsewhere mounted() is false and reason() says why, for GTEST_SKIP. Unmounted (lazily, so an
// open file cannot keep it) and removed at destruction. fill() takes every free byte with a file
// of its own, free() gives them back. One thread at a time.
#pragma once

#if defined(__linux__)
#include <sys/mount.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zephyl::test {

class SmallDisk {
 public:
  explicit SmallDisk(int64_t bytes) {
#if defined(__linux__)
    if (dir_.path().empty()) {
      reason_ = "no temporary directory";
      return;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      reason_ = std::string("cannot mount a tmpfs here (needs root): ") + std::strerror(errno);
    }
#else
    (void)bytes;
    reason_ = "mounting a small tmpfs needs Linux";
#endif
  }
  ~SmallDisk() {
#if defined(__linux__)
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
#endif
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  // The mount point, without a trailing "/".
  const std::string& path() const { return dir_.path(); }

  // Writes a filler file until the disk refuses a byte more. True when it ended full (a write
  // failed with ENOSPC) within the bound of the disk's own size.
  bool fill() {
    const std::string filler = path() + "/filler";
    FILE* file = std::fopen(filler.c_str(), "ab");
    if (file == nullptr) return errno == ENOSPC;
    std::setvbuf(file, nullptr, _IONBF, 0);
    const std::vector<char> block(4096, 'f');
    bool full = false;
    // A tmpfs of at most 1 GiB in pages: the loop ends on ENOSPC long before the bound.
    for (int i = 0; i < (1 << 18) && !full; ++i) {
      if (std::fwrite(block.data(), 1, block.size(), file) != block.size()) full = errno == ENOSPC;
    }
    std::fclose(file);
    return full;
  }
  void free() { std::remove((path() + "/filler").c_str()); }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace zephyl::test
