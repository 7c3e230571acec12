// Throw-away TLS identities for loopback HTTPS tests, written as PEM files: a self-signed
// certificate for 127.0.0.1, or a test certificate authority that issues server certificates
// for any name, so that a client can be shown trusting it, refusing it, or checking the name.
// Free functions are thread-safe; one TestCertificateAuthority may be used by several threads
// once built (its operations only read it).
#pragma once

#include <memory>
#include <string>

namespace zephyl::test {

// Writes an RSA 2048 self-signed certificate for 127.0.0.1 to certificatePath and the
// unencrypted private key to keyPath. Returns false and fills *errorMsg (if not null) when
// OpenSSL or a file write fails.
[[nodiscard]] bool writeSelfSignedCertificate(const std::string& certificatePath,
                                              const std::string& keyPath, std::string* errorMsg);

class TestCertificateAuthority {
 public:
  // Makes the authority's key and self-signed CA certificate in memory; ok() tells whether that
  // worked, errorMsg() why not.
  TestCertificateAuthority();
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  bool ok() const;
  const std::string& errorMsg() const;

  // Writes the authority's certificate as PEM to path.
  [[nodiscard]] bool writeCertificate(const std::string& path, std::string* errorMsg) const;
  // Writes the authority's certificate into directory under the name a TLS library looks it up
  // by in a trust directory ("<subject hash>.0").
  [[nodiscard]] bool writeHashedCertificate(const std::string& directory,
                                            std::string* errorMsg) const;
  // Issues a server certificate for subjectAltName (OpenSSL's notation: "IP:127.0.0.1",
  // "DNS:example.invalid") signed by this authority, and writes it and its unencrypted key as
  // PEM files.
  [[nodiscard]] bool issueServerCertificate(const std::string& subjectAltName,
                                            const std::string& certificatePath,
                                            const std::string& keyPath,
                                            std::string* errorMsg) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zephyl::test
