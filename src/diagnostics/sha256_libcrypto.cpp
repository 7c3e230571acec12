// SHA-256 through OpenSSL's libcrypto (EVP): the platform calls of sha256_calls.h on every system
// but Windows. Unlike the file keys' MD5, SHA-256 is only computed for downloads that ask for it,
// so the EVP set-up cost at the first digest of a process does not weigh on every download.
#include <openssl/evp.h>

#include "diagnostics/sha256_calls.h"

namespace zephyl {

struct Sha256State {
  EVP_MD_CTX* context = nullptr;
};

bool platformSha256Begin(Sha256State** state) {
  *state = new Sha256State;
  (*state)->context = EVP_MD_CTX_new();
  return (*state)->context != nullptr &&
         EVP_DigestInit_ex((*state)->context, EVP_sha256(), nullptr) == 1;
}

bool platformSha256Update(Sha256State* state, const void* data, size_t size) {
  return EVP_DigestUpdate(state->context, data, size) == 1;
}

bool platformSha256Finish(Sha256State* state, unsigned char* digest) {
  unsigned int length = 0;
  return EVP_DigestFinal_ex(state->context, digest, &length) == 1 &&
         length == kSha256DigestLength;
}

void platformSha256End(Sha256State* state) {
  if (state == nullptr) return;
  EVP_MD_CTX_free(state->context);
  delete state;
}

}  // namespace zephyl
