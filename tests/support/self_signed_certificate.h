// Makes a throw-away TLS identity for loopback HTTPS tests: an RSA 2048 key and a self-signed
// X.509 certificate for 127.0.0.1, written as PEM files. Thread-safe (no shared state).
#pragma once

#include <string>

namespace zephyl::test {

// Writes the certificate to certificatePath and the unencrypted private key to keyPath. Returns
// false and fills *errorMsg (if not null) when OpenSSL or a file write fails.
[[nodiscard]] bool writeSelfSignedCertificate(const std::string& certificatePath,
                                              const std::string& keyPath, std::string* errorMsg);

}  // namespace zephyl::test
