// MD5 and SHA-256 through Windows' CNG (bcrypt): the platform calls of md5_calls.h and
// sha256_calls.h on Windows, one hash object for both. The algorithm provider is opened for each
// digest; that costs little next to hashing a file or a download, and nothing has to be shared
// between threads or closed at unload.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <bcrypt.h>

#include <limits>

#include "diagnostics/md5_calls.h"
#include "diagnostics/sha256_calls.h"

namespace zephyl {
namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

constexpr ULONG kMd5DigestLength = 16;

}  // namespace

// One CNG hash of either algorithm.
struct CngHash {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;

  bool begin(LPCWSTR algorithmName) {
    // With no hash object buffer given, CNG allocates and frees the hash object itself.
    return succeeded(BCryptOpenAlgorithmProvider(&algorithm, algorithmName, nullptr, 0)) &&
           succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  }

  bool update(const void* data, size_t size) {
    // BCryptHashData takes at most 4 GiB - 1 at a time.
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const ULONG step = size > std::numeric_limits<ULONG>::max()
                             ? std::numeric_limits<ULONG>::max()
                             : static_cast<ULONG>(size);
      if (!succeeded(BCryptHashData(hash, const_cast<PUCHAR>(bytes), step, 0))) return false;
      bytes += step;
      size -= step;
    }
    return true;
  }

  bool finish(unsigned char* digest, ULONG length) {
    return succeeded(BCryptFinishHash(hash, digest, length, 0));
  }

  ~CngHash() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

struct Md5State : CngHash {};
struct Sha256State : CngHash {};

bool platformMd5Begin(Md5State** state) {
  *state = new Md5State;
  return (*state)->begin(BCRYPT_MD5_ALGORITHM);
}

bool platformMd5Update(Md5State* state, const void* data, size_t size) {
  return state->update(data, size);
}

bool platformMd5Finish(Md5State* state, unsigned char* digest) {
  return state->finish(digest, kMd5DigestLength);
}

void platformMd5End(Md5State* state) { delete state; }

bool platformSha256Begin(Sha256State** state) {
  *state = new Sha256State;
  return (*state)->begin(BCRYPT_SHA256_ALGORITHM);
}

bool platformSha256Update(Sha256State* state, const void* data, size_t size) {
  return state->update(data, size);
}

bool platformSha256Finish(Sha256State* state, unsigned char* digest) {
  return state->finish(digest, static_cast<ULONG>(kSha256DigestLength));
}

void platformSha256End(Sha256State* state) { delete state; }

}  // namespace zephyl
