#include "engine/content_digests.h"

#include <algorithm>

namespace zephyl {
namespace {

constexpr DigestAlgorithm kAlgorithms[] = {DigestAlgorithm::Md5, DigestAlgorithm::Sha256};

int indexOf(DigestAlgorithm algorithm) { return algorithm == DigestAlgorithm::Md5 ? 0 : 1; }

// Reads [from, length) of the stored bytes through writer into every stream, in order.
bool readBack(DataWriter& writer, int64_t from, int64_t length,
              const std::vector<DigestStream*>& streams) {
  std::vector<unsigned char> block(256 * 1024);
  for (int64_t offset = from; offset < length;) {
    const size_t size =
        static_cast<size_t>(std::min<int64_t>(length - offset, static_cast<int64_t>(block.size())));
    if (!writer.readStored(offset, block.data(), size)) return false;
    for (DigestStream* stream : streams) {
      if (!stream->update(block.data(), size)) return false;
    }
    offset += static_cast<int64_t>(size);
  }
  return true;
}

}  // namespace

ZPResponse checkDigest(const ExpectedDigest& expected, const ContentDigest& actual) {
  const std::string& got = actual.of(expected.algorithm);
  if (got == expected.hex) return ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::CHECKSUM_MISMATCH,
                    std::string("checksum mismatch: ") + digestName(expected.algorithm) +
                        " expected " + expected.hex + ", got " + (got.empty() ? "none" : got));
}

ContentDigests::~ContentDigests() = default;

void ContentDigests::want(DigestAlgorithm algorithm) {
  MutexLock lock(mutex_);
  if (wanted_[indexOf(algorithm)]) return;
  wanted_[indexOf(algorithm)] = true;
  if (prefixEnd_ == 0) {
    running_.push_back(std::make_unique<DigestStream>(algorithm));
    prefixHint_ = 0;
  }
}

bool ContentDigests::wantsAny() {
  MutexLock lock(mutex_);
  return wanted_[0] || wanted_[1];
}

void ContentDigests::offer(int64_t offset, const void* data, size_t size) {
  // Only a write at or before the prefix's end concerns the running digests.
  const int64_t hint = prefixHint_.load(std::memory_order_relaxed);
  if (hint < 0 || offset > hint) return;
  MutexLock lock(mutex_);
  if (running_.empty()) return;
  if (offset < prefixEnd_) restartLocked();
  if (offset != prefixEnd_) return;
  for (const std::unique_ptr<DigestStream>& stream : running_) stream->update(data, size);
  prefixEnd_ += static_cast<int64_t>(size);
  prefixHint_.store(prefixEnd_, std::memory_order_relaxed);
}

void ContentDigests::restart() {
  MutexLock lock(mutex_);
  restartLocked();
}

void ContentDigests::restartLocked() {
  running_.clear();
  for (DigestAlgorithm algorithm : kAlgorithms) {
    if (wanted_[indexOf(algorithm)]) running_.push_back(std::make_unique<DigestStream>(algorithm));
  }
  prefixEnd_ = 0;
  prefixHint_ = running_.empty() ? -1 : 0;
}

bool ContentDigests::finish(DataWriter& writer, int64_t length, ContentDigest* digest) {
  MutexLock lock(mutex_);
  if (!wanted_[0] && !wanted_[1]) return true;
  // A prefix past the length cannot be the content's: start over from the stored bytes.
  if (prefixEnd_ > length) restartLocked();
  std::vector<std::unique_ptr<DigestStream>> fromStart;
  for (DigestAlgorithm algorithm : kAlgorithms) {
    if (!wanted_[indexOf(algorithm)]) continue;
    const bool running = std::any_of(running_.begin(), running_.end(), [algorithm](const auto& s) {
      return s->algorithm() == algorithm;
    });
    if (!running) fromStart.push_back(std::make_unique<DigestStream>(algorithm));
  }
  bool read = true;
  std::vector<DigestStream*> streams;
  for (const auto& stream : fromStart) streams.push_back(stream.get());
  // The algorithms asked for late read the prefix the running ones saw; then all read the rest.
  if (!streams.empty() && prefixEnd_ > 0) read = readBack(writer, 0, prefixEnd_, streams);
  for (const auto& stream : running_) streams.push_back(stream.get());
  if (read && !streams.empty()) read = readBack(writer, prefixEnd_, length, streams);
  readBack_ += length - prefixEnd_ + (fromStart.empty() ? 0 : prefixEnd_);
  bool complete = read;
  for (DigestStream* stream : streams) {
    std::string hex = read ? stream->finishHex() : std::string();
    complete = complete && !hex.empty();
    (stream->algorithm() == DigestAlgorithm::Md5 ? digest->md5 : digest->sha256) = std::move(hex);
  }
  // The streams are finished: a later attempt hashes anew from what is stored then.
  restartLocked();
  return complete;
}

}  // namespace zephyl
