// The Windows build of the tests goes without OpenSSL, so its TLS servers and certificate
// authorities never start; tlsTestServersAvailable() tells the TLS tests to skip themselves.
#include <string>

#include "support/self_signed_certificate.h"
#include "support/test_https_server.h"

namespace zephyl::test {
namespace {

const std::string kUnavailable = "TLS test servers need OpenSSL, which this build goes without";

}  // namespace

bool tlsTestServersAvailable() { return false; }

bool writeSelfSignedCertificate(const std::string&, const std::string&, std::string* errorMsg) {
  if (errorMsg != nullptr) *errorMsg = kUnavailable;
  return false;
}

struct TestCertificateAuthority::Impl {};

TestCertificateAuthority::TestCertificateAuthority() = default;
TestCertificateAuthority::~TestCertificateAuthority() = default;
bool TestCertificateAuthority::ok() const { return false; }
const std::string& TestCertificateAuthority::errorMsg() const { return kUnavailable; }

bool TestCertificateAuthority::writeCertificate(const std::string&, std::string* errorMsg) const {
  if (errorMsg != nullptr) *errorMsg = kUnavailable;
  return false;
}

bool TestCertificateAuthority::writeHashedCertificate(const std::string&,
                                                      std::string* errorMsg) const {
  if (errorMsg != nullptr) *errorMsg = kUnavailable;
  return false;
}

bool TestCertificateAuthority::issueServerCertificate(const std::string&, const std::string&,
                                                      const std::string&,
                                                      std::string* errorMsg) const {
  if (errorMsg != nullptr) *errorMsg = kUnavailable;
  return false;
}

struct TestHttpsServer::Impl {};

TestHttpsServer::TestHttpsServer(const std::string&) {}
TestHttpsServer::TestHttpsServer(const std::string&, const std::string&) {}
TestHttpsServer::~TestHttpsServer() = default;
bool TestHttpsServer::started() const { return false; }
const std::string& TestHttpsServer::errorMsg() const { return kUnavailable; }
int TestHttpsServer::port() const { return 0; }
std::string TestHttpsServer::host() const { return std::string(); }
std::string TestHttpsServer::url(const std::string&) const { return std::string(); }
void TestHttpsServer::serve(const std::string&, std::vector<uint8_t>) {}
std::vector<SeenRequest> TestHttpsServer::requests() const { return {}; }
bool TestHttpsServer::waitForRequests(size_t, int) const { return false; }
void TestHttpsServer::start(const std::string&, const std::string&) {}

}  // namespace zephyl::test
