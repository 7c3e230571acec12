// MD5 through OpenSSL's libcrypto: the platform calls of md5_calls.h on every system but Windows.
// The MD5_* calls compute the digest directly. The EVP interface would first load OpenSSL's
// configuration and fetch the algorithm from a provider: about 5 million instructions at the
// first file key of a process, a large part of the start-up of a short download.
#define OPENSSL_SUPPRESS_DEPRECATED  // the MD5_* calls are deprecated in OpenSSL 3, not removed
#include <openssl/md5.h>

#include "diagnostics/md5_calls.h"

namespace zephyl {

struct Md5State {
  MD5_CTX digest;
};

bool platformMd5Begin(Md5State** state) {
  *state = new Md5State;
  return MD5_Init(&(*state)->digest) == 1;
}

bool platformMd5Update(Md5State* state, const void* data, size_t size) {
  return MD5_Update(&state->digest, data, size) == 1;
}

bool platformMd5Finish(Md5State* state, unsigned char* digest) {
  return MD5_Final(digest, &state->digest) == 1;
}

void platformMd5End(Md5State* state) { delete state; }

}  // namespace zephyl
