// The libcrypto calls behind Md5Stream, md5Of and fileKeyFromUrl, as a value that can be replaced:
// the library always uses libcrypto's own; tests hand in calls that fail (as under a provider
// without MD5) to see the failure reported instead of a digest. Internal to diagnostics and its
// tests; everyone else uses utilities.h.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string>

namespace zephyl {

// Each returns 1 on success, as libcrypto does.
struct Md5Calls {
  decltype(&EVP_DigestInit_ex) init = EVP_DigestInit_ex;
  decltype(&EVP_DigestUpdate) update = EVP_DigestUpdate;
  decltype(&EVP_DigestFinal_ex) finish = EVP_DigestFinal_ex;
};

// As md5Of and fileKeyFromUrl of utilities.h, through calls.
bool md5Of(const void* data, size_t size, unsigned char* digest, const Md5Calls& calls);
std::string fileKeyFromUrl(const std::string& url, const Md5Calls& calls);

}  // namespace zephyl
