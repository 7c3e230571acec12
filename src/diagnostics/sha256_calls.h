// The platform's SHA-256 calls behind DigestStream (libcrypto's EVP interface on POSIX systems,
// CNG on Windows). Internal to diagnostics; everyone else uses digest.h.
#pragma once

#include <cstddef>

namespace zephyl {

constexpr size_t kSha256DigestLength = 32;

// The digest state of the platform's calls; only they know what it holds.
struct Sha256State;

// Each call but end returns true on success. begin stores a new state (or null when it fails);
// end releases whatever begin stored, null included, also after a failed step. finish writes the
// 32-byte digest; on failure it may have written anything there.
bool platformSha256Begin(Sha256State** state);
bool platformSha256Update(Sha256State* state, const void* data, size_t size);
bool platformSha256Finish(Sha256State* state, unsigned char* digest);
void platformSha256End(Sha256State* state);

}  // namespace zephyl
