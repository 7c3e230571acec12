// The platform's MD5 calls behind Md5Stream, md5Of and fileKeyFromUrl (libcrypto on POSIX
// systems, CNG on Windows), as a value that can be replaced: the library always uses the
// platform's own; tests hand in calls that refuse one step (as CNG can, when its provider is
// missing) to see the failure reported instead of a digest. Internal to diagnostics and its
// tests; everyone else uses utilities.h.
#pragma once

#include <cstddef>
#include <string>

namespace zephyl {

// The digest state of the platform's calls; only they know what it holds.
struct Md5State;

// The platform's own calls (md5_libcrypto.cpp or digest_cng_windows.cpp).
bool platformMd5Begin(Md5State** state);
bool platformMd5Update(Md5State* state, const void* data, size_t size);
bool platformMd5Finish(Md5State* state, unsigned char* digest);
void platformMd5End(Md5State* state);

// Each call but end returns true on success. begin stores a new state (or null when it fails);
// end releases whatever begin stored, null included, also after a failed step. finish writes
// the 16-byte digest; on failure it may have written anything there.
struct Md5Calls {
  bool (*begin)(Md5State** state) = platformMd5Begin;
  bool (*update)(Md5State* state, const void* data, size_t size) = platformMd5Update;
  bool (*finish)(Md5State* state, unsigned char* digest) = platformMd5Finish;
  void (*end)(Md5State* state) = platformMd5End;
};

// As md5Of and fileKeyFromUrl of utilities.h, through calls.
bool md5Of(const void* data, size_t size, unsigned char* digest, const Md5Calls& calls);
std::string fileKeyFromUrl(const std::string& url, const Md5Calls& calls);

}  // namespace zephyl
