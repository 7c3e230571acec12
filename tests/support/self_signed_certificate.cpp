#include "support/self_signed_certificate.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
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
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;

bool fail(std::string* errorMsg, const char* what) {
  if (errorMsg != nullptr) *errorMsg = what;
  return false;
}

// Adds one extension in OpenSSL's configuration notation; issuer may be the certificate itself.
bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// A certificate for key with the common name, valid from an hour ago for a week.
CertificatePtr newCertificate(EVP_PKEY* key, const char* commonName, long serial) {
  CertificatePtr certificate(X509_new());
  if (!certificate) return nullptr;
  X509* cert = certificate.get();
  X509_NAME* name = X509_get_subject_name(cert);
  if (X509_set_version(cert, 2) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600) == nullptr ||
      X509_set_pubkey(cert, key) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                 0) != 1) {
    return nullptr;
  }
  return certificate;
}

bool writeKey(const std::string& path, EVP_PKEY* key, std::string* errorMsg) {
  std::unique_ptr<FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
  if (!file || PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      std::fflush(file.get()) != 0) {
    return fail(errorMsg, "writing the key failed");
  }
  return true;
}

bool writePem(const std::string& path, X509* certificate, std::string* errorMsg) {
  std::unique_ptr<FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
  if (!file || PEM_write_X509(file.get(), certificate) != 1 || std::fflush(file.get()) != 0) {
    return fail(errorMsg, "writing the certificate failed");
  }
  return true;
}

}  // namespace

bool writeSelfSignedCertificate(const std::string& certificatePath, const std::string& keyPath,
                                std::string* errorMsg) {
  KeyPtr key(EVP_RSA_gen(2048));
  if (!key) return fail(errorMsg, "RSA key generation failed");
  CertificatePtr certificate = newCertificate(key.get(), "127.0.0.1", 1);
  if (!certificate) return fail(errorMsg, "building the certificate failed");
  X509* cert = certificate.get();
  // The address is also the subject alternative name, so that a client checking the host name
  // accepts it.
  if (X509_set_issuer_name(cert, X509_get_subject_name(cert)) != 1 ||
      !addExtension(cert, cert, NID_subject_alt_name, "IP:127.0.0.1") ||
      X509_sign(cert, key.get(), EVP_sha256()) == 0) {
    return fail(errorMsg, "building the certificate failed");
  }
  return writeKey(keyPath, key.get(), errorMsg) && writePem(certificatePath, cert, errorMsg);
}

struct TestCertificateAuthority::Impl {
  KeyPtr key;
  CertificatePtr certificate;
  std::string error;
};

TestCertificateAuthority::TestCertificateAuthority() : impl_(std::make_unique<Impl>()) {
  // EC keys: far quicker to make than RSA ones, which matters under the sanitizers.
  impl_->key.reset(EVP_EC_gen("P-256"));
  if (!impl_->key) {
    impl_->error = "key generation failed";
    return;
  }
  CertificatePtr certificate = newCertificate(impl_->key.get(), "zephyl test authority", 1);
  X509* cert = certificate.get();
  if (!certificate || X509_set_issuer_name(cert, X509_get_subject_name(cert)) != 1 ||
      !addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") ||
      !addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !addExtension(cert, cert, NID_subject_key_identifier, "hash") ||
      X509_sign(cert, impl_->key.get(), EVP_sha256()) == 0) {
    impl_->error = "building the authority's certificate failed";
    return;
  }
  impl_->certificate = std::move(certificate);
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

bool TestCertificateAuthority::ok() const { return impl_->certificate != nullptr; }

const std::string& TestCertificateAuthority::errorMsg() const { return impl_->error; }

bool TestCertificateAuthority::writeCertificate(const std::string& path,
                                                std::string* errorMsg) const {
  if (!ok()) return fail(errorMsg, "no authority");
  return writePem(path, impl_->certificate.get(), errorMsg);
}

bool TestCertificateAuthority::writeHashedCertificate(const std::string& directory,
                                                      std::string* errorMsg) const {
  if (!ok()) return fail(errorMsg, "no authority");
  char name[32];
  std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(impl_->certificate.get()));
  return writePem(directory + "/" + name, impl_->certificate.get(), errorMsg);
}

bool TestCertificateAuthority::issueServerCertificate(const std::string& subjectAltName,
                                                      const std::string& certificatePath,
                                                      const std::string& keyPath,
                                                      std::string* errorMsg) const {
  if (!ok()) return fail(errorMsg, "no authority");
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return fail(errorMsg, "key generation failed");
  // A serial of its own per certificate: a client may cache what it has seen by issuer and serial.
  static std::atomic<long> serials{100};
  CertificatePtr certificate = newCertificate(key.get(), "zephyl test server", ++serials);
  X509* cert = certificate.get();
  X509* issuer = impl_->certificate.get();
  if (!certificate || X509_set_issuer_name(cert, X509_get_subject_name(issuer)) != 1 ||
      !addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE") ||
      !addExtension(cert, issuer, NID_key_usage, "critical,digitalSignature") ||
      !addExtension(cert, issuer, NID_ext_key_usage, "serverAuth") ||
      !addExtension(cert, issuer, NID_authority_key_identifier, "keyid:always") ||
      !addExtension(cert, issuer, NID_subject_alt_name, subjectAltName.c_str()) ||
      X509_sign(cert, impl_->key.get(), EVP_sha256()) == 0) {
    return fail(errorMsg, "building the server certificate failed");
  }
  return writeKey(keyPath, key.get(), errorMsg) && writePem(certificatePath, cert, errorMsg);
}

}  // namespace zephyl::test
