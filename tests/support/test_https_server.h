// TestHttpsServer: an HTTPS server on 127.0.0.1 (ephemeral port) with a self-signed certificate
// made when it starts, or with a certificate the test made (for instance one issued by a
// TestCertificateAuthority), serving byte buffers with Range support (cpp-httplib) and logging
// the requests. Thread-safe; the destructor stops it and joins its threads.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/test_http_server.h"

namespace zephyl::test {

// Whether this build has the TLS servers and authorities: the Windows build of the tests goes
// without OpenSSL, and its servers never start. A TLS test skips itself when this is false.
bool tlsTestServersAvailable();

class TestHttpsServer {
 public:
  // Writes "cert.pem" and "key.pem" into directory (which must exist) and starts listening;
  // started() tells whether that worked, errorMsg() why not.
  explicit TestHttpsServer(const std::string& directory);
  // Starts listening with the certificate and key in these PEM files.
  TestHttpsServer(const std::string& certificatePath, const std::string& keyPath);
  ~TestHttpsServer();
  TestHttpsServer(const TestHttpsServer&) = delete;
  TestHttpsServer& operator=(const TestHttpsServer&) = delete;

  bool started() const;
  const std::string& errorMsg() const;
  int port() const;
  std::string host() const;                        // "127.0.0.1:<port>"
  std::string url(const std::string& path) const;  // "https://127.0.0.1:<port>" + path

  // Serves body at path with 200 and 206 answers; unknown paths get 404.
  void serve(const std::string& path, std::vector<uint8_t> body);
  // Requests are logged once their answer is written, which may be after the client is done.
  std::vector<SeenRequest> requests() const;
  // Waits at most timeoutMs until at least count requests are logged; false on time-out.
  bool waitForRequests(size_t count, int timeoutMs) const;

 private:
  void start(const std::string& certificatePath, const std::string& keyPath);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zephyl::test
