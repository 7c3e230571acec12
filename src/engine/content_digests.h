// ContentDigests: the digests a download's checks need, computed as the bytes arrive where they
// arrive in order. A running digest follows the contiguous stored prefix from byte 0 (a single
// transfer, or the first run of a parallel download); at the end only what it did not see (a
// resumed download's earlier bytes, the other runs' ranges) is read back from the stored result.
// An algorithm asked for after bytes were hashed is computed from byte 0 at the end. Nothing is
// hashed while no algorithm is wanted. Thread-safe: want and offer on any thread; restart and
// finish on the task's thread while no chunk runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/digest.h"
#include "sinks/data_writer.h"
#include "zephyl/zp_response.h"

namespace zephyl {

// The hex digests of one content; empty for an algorithm not computed.
struct ContentDigest {
  std::string md5;
  std::string sha256;

  const std::string& of(DigestAlgorithm algorithm) const {
    return algorithm == DigestAlgorithm::Md5 ? md5 : sha256;
  }
};

// Success when actual's digest of expected's algorithm is expected's; else RESULT_FAILED with
// CHECKSUM_MISMATCH and "checksum mismatch: <algorithm> expected <hex>, got <hex>" (got "none"
// when that digest is missing).
ZPResponse checkDigest(const ExpectedDigest& expected, const ContentDigest& actual);

class ContentDigests {
 public:
  ContentDigests() = default;
  ~ContentDigests();
  ContentDigests(const ContentDigests&) = delete;
  ContentDigests& operator=(const ContentDigests&) = delete;

  // The content's digest of algorithm is wanted. Before any byte was hashed a running digest
  // starts for it; otherwise finish computes it from byte 0.
  void want(DigestAlgorithm algorithm) EXCLUDES(mutex_);
  bool wantsAny() EXCLUDES(mutex_);

  // size bytes were stored at offset. They extend the running digests when they continue the
  // prefix; bytes at an offset before the prefix's end rewrite hashed bytes, so the running
  // digests start over (finish then reads everything back).
  void offer(int64_t offset, const void* data, size_t size) EXCLUDES(mutex_);

  // The stored bytes were dropped or are stored anew: nothing hashed so far counts.
  void restart() EXCLUDES(mutex_);

  // The wanted digests of the length stored bytes, reading what the running digests did not see
  // through writer.readStored. False when the stored bytes cannot be read or the platform
  // refuses a digest; *digest is then incomplete.
  [[nodiscard]] bool finish(DataWriter& writer, int64_t length, ContentDigest* digest)
      EXCLUDES(mutex_);

  // Bytes finish read back from the stored result so far (for tests and logs).
  int64_t readBackBytes() const { return readBack_.load(); }

 private:
  void restartLocked() REQUIRES(mutex_);

  Mutex mutex_;
  // Guarded by mutex_.
  bool wanted_[2] GUARDED_BY(mutex_) = {false, false};
  std::vector<std::unique_ptr<DigestStream>> running_ GUARDED_BY(mutex_);
  int64_t prefixEnd_ GUARDED_BY(mutex_) = 0;
  // Atomic: a copy of prefixEnd_ (-1 while nothing runs), read without the lock by offer so that
  // transfers storing other ranges never wait for the one that hashes.
  std::atomic<int64_t> prefixHint_{-1};
  std::atomic<int64_t> readBack_{0};
};

}  // namespace zephyl
