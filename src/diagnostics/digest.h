// Content digests (MD5 and SHA-256) behind one streaming interface, and the "algorithm:hex" form
// in which a request names the digest its result must have. Thread-safe functions without state;
// one DigestStream is used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace zephyl {

enum class DigestAlgorithm { Md5, Sha256 };

// "md5" or "sha256": the name in messages and in the checksum form.
const char* digestName(DigestAlgorithm algorithm);
// 16 or 32.
size_t digestLength(DigestAlgorithm algorithm);

// A digest a result must have: the algorithm and the digest as lowercase hex digits.
struct ExpectedDigest {
  DigestAlgorithm algorithm = DigestAlgorithm::Sha256;
  std::string hex;
};

// Reads "sha256:<64 hex>", "sha-256:<64 hex>" or "md5:<32 hex>" (algorithm and digits in any
// case) into *expected, the digits lowercased. False, *expected untouched, for anything else
// (an empty text too: the caller tells "no check" apart before).
[[nodiscard]] bool parseChecksum(const std::string& text, ExpectedDigest* expected);

// A request's checksum, read once where the request comes in and passed on parsed: an empty text
// asks for no check (*expected empty). Returns the refusal of a text that is not parseChecksum's
// form, "illegal checksum: <its first 80 characters> (expected sha256:<64 hex digits> or
// md5:<32 hex digits>)", *expected then untouched; empty when the text is accepted.
std::string readChecksum(const std::string& text, std::optional<ExpectedDigest>* expected);

// Two lowercase hex digits per byte, in byte order.
std::string hexOf(const unsigned char* bytes, size_t size);

// Incremental digest through the platform's calls (libcrypto, or CNG on Windows), which can
// refuse (a provider without the algorithm, no memory): a stream whose set-up or any step failed
// stays failed, later updates do nothing and finishHex reports the failure.
class DigestStream {
 public:
  explicit DigestStream(DigestAlgorithm algorithm);
  ~DigestStream();
  DigestStream(const DigestStream&) = delete;
  DigestStream& operator=(const DigestStream&) = delete;

  DigestAlgorithm algorithm() const { return algorithm_; }
  // Adds size bytes; false once the stream has failed.
  bool update(const void* data, size_t size);
  // The digest as lowercase hex; empty when any step failed. The stream is finished afterwards:
  // a second call returns empty.
  std::string finishHex();

 private:
  struct Engine;
  const DigestAlgorithm algorithm_;
  std::unique_ptr<Engine> engine_;
};

// The digest of size bytes at data as lowercase hex; empty when the platform refuses.
std::string digestHexOf(DigestAlgorithm algorithm, const void* data, size_t size);

}  // namespace zephyl
