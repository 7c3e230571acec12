// MD5 through OpenSSL's libcrypto (EVP interface): the platform calls of md5_calls.h on every
// system but Windows.
#include <openssl/evp.h>

#include "diagnostics/md5_calls.h"

namespace zephyl {

struct Md5State {
  EVP_MD_CTX* digest = nullptr;
};

bool platformMd5Begin(Md5State** state) {
  *state = nullptr;
  EVP_MD_CTX* digest = EVP_MD_CTX_new();
  if (digest == nullptr) return false;
  *state = new Md5State{digest};
  return EVP_DigestInit_ex(digest, EVP_md5(), nullptr) == 1;
}

bool platformMd5Update(Md5State* state, const void* data, size_t size) {
  return EVP_DigestUpdate(state->digest, data, size) == 1;
}

bool platformMd5Finish(Md5State* state, unsigned char* digest) {
  unsigned char result[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state->digest, result, &length) != 1 || length != 16) return false;
  for (unsigned int i = 0; i < length; ++i) digest[i] = result[i];
  return true;
}

void platformMd5End(Md5State* state) {
  if (state == nullptr) return;
  EVP_MD_CTX_free(state->digest);
  delete state;
}

}  // namespace zephyl
