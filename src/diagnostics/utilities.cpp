#include "diagnostics/utilities.h"

#include <openssl/evp.h>

#include <chrono>
#include <stdexcept>

namespace zephyl {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

struct Md5Stream::Context {
  EVP_MD_CTX* digest = nullptr;
  ~Context() { EVP_MD_CTX_free(digest); }
};

Md5Stream::Md5Stream() : context_(std::make_unique<Context>()) {
  context_->digest = EVP_MD_CTX_new();
  if (context_->digest == nullptr || EVP_DigestInit_ex(context_->digest, EVP_md5(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

Md5Stream::~Md5Stream() = default;

void Md5Stream::update(const void* data, size_t size) {
  if (size > 0) EVP_DigestUpdate(context_->digest, data, size);
}

void Md5Stream::finish(unsigned char* digest) {
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->digest, digest, &length);
}

void md5Of(const void* data, size_t size, unsigned char* digest) {
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr);
}

std::string md5Hex(const unsigned char* digest) {
  std::string text(2 * kMd5DigestLength, '0');
  for (size_t i = 0; i < kMd5DigestLength; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return text;
}

std::string fileKeyFromUrl(const std::string& url) {
  unsigned char digest[kMd5DigestLength];
  md5Of(url.data(), url.size(), digest);
  return md5Hex(digest);
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::wstring utf8ToUtf16(const std::string& text) {
  constexpr char32_t kReplacement = 0xFFFD;
  std::wstring result;
  result.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    char32_t codePoint = kReplacement;
    size_t length = 1;
    size_t expected = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      codePoint = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      expected = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      expected = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      expected = 4, minimum = 0x10000, codePoint = lead & 0x07;
    }
    if (expected > 0) {
      size_t taken = 1;
      while (taken < expected && i + taken < size && (bytes[i + taken] & 0xC0) == 0x80) {
        codePoint = (codePoint << 6) | (bytes[i + taken] & 0x3F);
        ++taken;
      }
      const bool valid = taken == expected && codePoint >= minimum && codePoint <= 0x10FFFF &&
                         (codePoint < 0xD800 || codePoint > 0xDFFF);
      // A broken sequence becomes one replacement character for the bytes it consumed.
      if (!valid) codePoint = kReplacement;
      length = taken;
    }
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      result.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
      result.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
      result.push_back(static_cast<wchar_t>(codePoint));
    }
    i += length;
  }
  return result;
}

}  // namespace zephyl
