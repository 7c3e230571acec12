#include "support/self_signed_certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace zephyl::test {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};

bool fail(std::string* errorMsg, const char* what) {
  if (errorMsg != nullptr) *errorMsg = what;
  return false;
}

}  // namespace

bool writeSelfSignedCertificate(const std::string& certificatePath, const std::string& keyPath,
                                std::string* errorMsg) {
  std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_RSA_gen(2048));
  if (!key) return fail(errorMsg, "RSA key generation failed");
  std::unique_ptr<X509, CertificateFree> certificate(X509_new());
  if (!certificate) return fail(errorMsg, "X509_new failed");
  X509* cert = certificate.get();
  X509_NAME* name = X509_get_subject_name(cert);
  const auto* commonName = reinterpret_cast<const unsigned char*>("127.0.0.1");
  // The address is also the subject alternative name, so that a client checking the host name
  // accepts it.
  std::unique_ptr<X509_EXTENSION, ExtensionFree> alternativeName(
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "IP:127.0.0.1"));
  if (X509_set_version(cert, 2) != 1 || ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600) == nullptr ||
      X509_set_pubkey(cert, key.get()) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) != 1 ||
      X509_set_issuer_name(cert, name) != 1 || !alternativeName ||
      X509_add_ext(cert, alternativeName.get(), -1) != 1 ||
      X509_sign(cert, key.get(), EVP_sha256()) == 0) {
    return fail(errorMsg, "building the certificate failed");
  }
  std::unique_ptr<FILE, FileClose> keyFile(std::fopen(keyPath.c_str(), "wb"));
  if (!keyFile ||
      PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return fail(errorMsg, "writing the key failed");
  }
  std::unique_ptr<FILE, FileClose> certificateFile(std::fopen(certificatePath.c_str(), "wb"));
  if (!certificateFile || PEM_write_X509(certificateFile.get(), cert) != 1) {
    return fail(errorMsg, "writing the certificate failed");
  }
  if (std::fflush(keyFile.get()) != 0 || std::fflush(certificateFile.get()) != 0) {
    return fail(errorMsg, "flushing the PEM files failed");
  }
  return true;
}

}  // namespace zephyl::test
