// SHA-256 through Windows' CNG (bcrypt): the platform calls of sha256_calls.h on Windows. As for
// MD5, the algorithm provider is opened for each digest: nothing is shared between threads or
// closed at unload, and the cost is small next to hashing a download.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <bcrypt.h>

#include <limits>

#include "diagnostics/sha256_calls.h"

namespace zephyl {

struct Sha256State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool platformSha256Begin(Sha256State** state) {
  *state = new Sha256State;
  // With no hash object buffer given, CNG allocates and frees the hash object itself.
  return succeeded(BCryptOpenAlgorithmProvider(&(*state)->algorithm, BCRYPT_SHA256_ALGORITHM,
                                               nullptr, 0)) &&
         succeeded(
             BCryptCreateHash((*state)->algorithm, &(*state)->hash, nullptr, 0, nullptr, 0, 0));
}

bool platformSha256Update(Sha256State* state, const void* data, size_t size) {
  // BCryptHashData takes at most 4 GiB - 1 at a time.
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ULONG step = size > std::numeric_limits<ULONG>::max() ? std::numeric_limits<ULONG>::max()
                                                                : static_cast<ULONG>(size);
    if (!succeeded(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), step, 0))) return false;
    bytes += step;
    size -= step;
  }
  return true;
}

bool platformSha256Finish(Sha256State* state, unsigned char* digest) {
  return succeeded(BCryptFinishHash(state->hash, digest, kSha256DigestLength, 0));
}

void platformSha256End(Sha256State* state) {
  if (state == nullptr) return;
  if (state->hash != nullptr) BCryptDestroyHash(state->hash);
  if (state->algorithm != nullptr) BCryptCloseAlgorithmProvider(state->algorithm, 0);
  delete state;
}

}  // namespace zephyl
