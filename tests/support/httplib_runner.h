// HttplibRunner: serves a test's own cpp-httplib server on 127.0.0.1 from a thread of its own,
// from construction until destruction (which stops the server and joins the thread, also when
// an assertion ended the test early).
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace zephyl::test {

class HttplibRunner {
 public:
  // Binds server to a free loopback port and waits (at most five seconds) until it serves.
  explicit HttplibRunner(httplib::Server& server) : server_(server) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return;
    listening_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 500 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~HttplibRunner() {
    server_.stop();
    if (listening_.joinable()) listening_.join();
  }
  HttplibRunner(const HttplibRunner&) = delete;
  HttplibRunner& operator=(const HttplibRunner&) = delete;

  // True once the server accepts connections.
  bool running() const { return port_ > 0 && server_.is_running(); }
  // "http://127.0.0.1:<port>" followed by path.
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server& server_;
  int port_ = 0;
  std::thread listening_;
};

}  // namespace zephyl::test
