// Small shared helpers: file keys, MD5, the wall clock and UTF-8 to UTF-16 conversion.
// All functions are thread-safe and keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zephyl {

constexpr size_t kMd5DigestLength = 16;

// MD5 comes from the platform (libcrypto, or CNG on Windows), which can refuse it (a provider
// without MD5, no memory): every MD5 operation reports that as a failure, never as a digest.
struct Md5Calls;  // see md5_calls.h

// 32 lowercase hex digits of the MD5 of exactly the bytes of url (no normalisation); empty when
// the platform's MD5 fails.
std::string fileKeyFromUrl(const std::string& url);

// Two lowercase hex digits per byte of a 16-byte digest, in byte order.
std::string md5Hex(const unsigned char* digest);

// One-shot MD5 of size bytes at data into digest (16 bytes). False, digest untouched, when
// the platform's MD5 fails.
bool md5Of(const void* data, size_t size, unsigned char* digest);

// Incremental MD5. One thread at a time. A stream whose set-up or any step failed stays failed:
// later updates do nothing and finish reports the failure.
class Md5Stream {
 public:
  Md5Stream();
  // Through calls instead of the platform's own (copied).
  explicit Md5Stream(const Md5Calls& calls);
  ~Md5Stream();
  Md5Stream(const Md5Stream&) = delete;
  Md5Stream& operator=(const Md5Stream&) = delete;

  // Adds size bytes; false once the stream has failed.
  bool update(const void* data, size_t size);
  // Writes the 16-byte digest and returns true; false, digest untouched, when any step failed.
  // The stream is finished afterwards: a second finish returns false.
  [[nodiscard]] bool finish(unsigned char* digest);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// Milliseconds since 1970-01-01 00:00 UTC on the system clock (may jump with the system time).
int64_t nowMs();

// UTF-16 code units (surrogate pairs above U+FFFF) of a UTF-8 text, one per wchar_t. Embedded zero
// bytes are converted; each invalid UTF-8 sequence becomes U+FFFD.
std::wstring utf8ToUtf16(const std::string& text);

}  // namespace zephyl
