#include "diagnostics/utilities.h"

#include <chrono>
#include <cstring>

#include "diagnostics/log.h"
#include "diagnostics/md5_calls.h"
#include "diagnostics/redaction.h"

namespace zephyl {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

struct Md5Stream::Context {
  explicit Context(const Md5Calls& with) : calls(with) {}
  ~Context() { calls.end(state); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  const Md5Calls calls;
  Md5State* state = nullptr;
  bool failed = false;
  bool finished = false;
};

Md5Stream::Md5Stream() : Md5Stream(Md5Calls()) {}

Md5Stream::Md5Stream(const Md5Calls& calls) : context_(std::make_unique<Context>(calls)) {
  context_->failed = !context_->calls.begin(&context_->state);
}

Md5Stream::~Md5Stream() = default;

bool Md5Stream::update(const void* data, size_t size) {
  if (context_->failed || context_->finished) return false;
  if (size > 0 && !context_->calls.update(context_->state, data, size)) context_->failed = true;
  return !context_->failed;
}

bool Md5Stream::finish(unsigned char* digest) {
  if (context_->failed || context_->finished) return false;
  context_->finished = true;
  // Written to a buffer of our own first: a failing step may have left partial bytes in it.
  unsigned char result[kMd5DigestLength];
  if (!context_->calls.finish(context_->state, result)) {
    context_->failed = true;
    return false;
  }
  std::memcpy(digest, result, kMd5DigestLength);
  return true;
}

bool md5Of(const void* data, size_t size, unsigned char* digest, const Md5Calls& calls) {
  Md5Stream stream(calls);
  return stream.update(data, size) && stream.finish(digest);
}

bool md5Of(const void* data, size_t size, unsigned char* digest) {
  return md5Of(data, size, digest, Md5Calls());
}

std::string md5Hex(const unsigned char* digest) {
  std::string text(2 * kMd5DigestLength, '0');
  for (size_t i = 0; i < kMd5DigestLength; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return text;
}

std::string fileKeyFromUrl(const std::string& url, const Md5Calls& calls) {
  unsigned char digest[kMd5DigestLength];
  if (!md5Of(url.data(), url.size(), digest, calls)) {
    ZP_LOG(Error) << "md5 failed: no file key for " << redactUrl(url);
    return std::string();
  }
  return md5Hex(digest);
}

std::string fileKeyFromUrl(const std::string& url) { return fileKeyFromUrl(url, Md5Calls()); }

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace zephyl
