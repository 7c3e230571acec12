#include "support/test_https_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "support/self_signed_certificate.h"

namespace zephyl::test {

bool tlsTestServersAvailable() { return true; }

struct TestHttpsServer::Impl {
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  std::atomic<bool> finished{false};  // listen_after_bind returned
  int port = 0;
  std::string error;

  mutable std::mutex mutex;
  mutable std::condition_variable logged;  // a request was added to requests
  std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> bodies;  // guarded by mutex
  std::vector<SeenRequest> requests;                                          // guarded by mutex
};

TestHttpsServer::TestHttpsServer(const std::string& directory) : impl_(std::make_unique<Impl>()) {
  const std::string certificatePath = directory + "/cert.pem";
  const std::string keyPath = directory + "/key.pem";
  if (!writeSelfSignedCertificate(certificatePath, keyPath, &impl_->error)) return;
  start(certificatePath, keyPath);
}

TestHttpsServer::TestHttpsServer(const std::string& certificatePath, const std::string& keyPath)
    : impl_(std::make_unique<Impl>()) {
  start(certificatePath, keyPath);
}

void TestHttpsServer::start(const std::string& certificatePath, const std::string& keyPath) {
  impl_->server = std::make_unique<httplib::SSLServer>(certificatePath.c_str(), keyPath.c_str());
  httplib::SSLServer& server = *impl_->server;
  if (!server.is_valid()) {
    impl_->error = "the TLS context was refused";
    impl_->server.reset();
    return;
  }
  Impl* impl = impl_.get();
  server.set_keep_alive_timeout(1);
  server.Get(".*", [impl](const httplib::Request& request, httplib::Response& response) {
    std::shared_ptr<const std::vector<uint8_t>> body;
    {
      std::lock_guard<std::mutex> lock(impl->mutex);
      const auto entry = impl->bodies.find(request.path);
      if (entry != impl->bodies.end()) body = entry->second;
    }
    if (body == nullptr) {
      response.status = 404;
      response.set_content("<html><body><h1>404 Not Found</h1></body></html>\n", "text/html");
      return;
    }
    // httplib cuts the content to the requested range and answers 206 with Content-Range.
    response.set_content(reinterpret_cast<const char*>(body->data()), body->size(),
                         "application/octet-stream");
  });
  server.set_logger([impl](const httplib::Request& request, const httplib::Response& response) {
    SeenRequest seen;
    seen.method = request.method;
    seen.target = request.target;
    seen.hasRange = request.has_header("Range");
    seen.range = request.get_header_value("Range");
    seen.status = response.status;
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->requests.push_back(std::move(seen));
    impl->logged.notify_all();
  });
  impl_->port = server.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) {
    impl_->error = "bind failed";
    impl_->server.reset();
    return;
  }
  impl_->thread = std::thread([impl] {
    impl->server->listen_after_bind();
    impl->finished = true;
  });
  // stop() is only heard by a running server: wait (bounded) until it runs.
  for (int i = 0; i < 500 && !server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!server.is_running()) impl_->error = "the server did not start";
}

TestHttpsServer::~TestHttpsServer() {
  if (!impl_->thread.joinable()) return;
  // A stop() that comes before the listen loop runs is not heard, and a second one while it
  // runs is not allowed: stop once, as soon as it runs.
  while (!impl_->finished) {
    if (impl_->server->is_running()) {
      impl_->server->stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  impl_->thread.join();
}

bool TestHttpsServer::started() const {
  return impl_->server != nullptr && impl_->server->is_running();
}

const std::string& TestHttpsServer::errorMsg() const { return impl_->error; }

int TestHttpsServer::port() const { return impl_->port; }

std::string TestHttpsServer::host() const { return "127.0.0.1:" + std::to_string(impl_->port); }

std::string TestHttpsServer::url(const std::string& path) const {
  return "https://" + host() + path;
}

void TestHttpsServer::serve(const std::string& path, std::vector<uint8_t> body) {
  auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(body));
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->bodies[path] = std::move(shared);
}

std::vector<SeenRequest> TestHttpsServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

bool TestHttpsServer::waitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->logged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return impl_->requests.size() >= count; });
}

}  // namespace zephyl::test
