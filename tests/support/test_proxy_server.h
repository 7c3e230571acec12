// A loopback HTTP proxy for tests, on 127.0.0.1 at a port the system picks: forwards requests in
// absolute form ("GET http://127.0.0.1:port/path") and tunnels CONNECT to 127.0.0.1 or
// localhost only, optionally only with the right Proxy-Authorization (407 otherwise). Every
// forwarded request gets a "Via: 1.1 test-proxy" header, so an origin can tell what came through
// it. One request per forwarded connection to the origin. All members are thread-safe; every
// wait is bounded, and the destructor cuts open connections and joins every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zephyl::test {

class TestProxyServer {
 public:
  // authorization: the Proxy-Authorization value a request must carry ("Basic " and the
  // base64 of "user:password"), 407 otherwise; empty: none asked.
  explicit TestProxyServer(std::string authorization = std::string());
  ~TestProxyServer();
  TestProxyServer(const TestProxyServer&) = delete;
  TestProxyServer& operator=(const TestProxyServer&) = delete;

  bool started() const { return listenFd_ >= 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>", or with "user:password@" before the host when userInfo is given.
  std::string url(const std::string& userInfo = std::string()) const;

  // Requests it forwarded (absolute form), tunnels it opened (CONNECT) and requests it refused
  // with 407, so far.
  int64_t forwarded() const { return forwarded_.load(); }
  int64_t tunnels() const { return tunnels_.load(); }
  int64_t refused() const { return refused_.load(); }
  // The target of every request it received, in arrival order ("http://host:port/path" or
  // "host:port" for CONNECT), refused ones too.
  std::vector<std::string> targets() const;

 private:
  void acceptLoop();
  void serveConnection(int client);
  bool authorized(const std::string& head) const;
  void forward(int client, const std::string& head, const std::string& rest);
  void tunnel(int client, const std::string& target, const std::string& rest);
  // Copies bytes both ways until either side closes, the proxy stops, or nothing moves for a
  // while.
  void relay(int first, int second);

  const std::string authorization_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> forwarded_{0};
  std::atomic<int64_t> tunnels_{0};
  std::atomic<int64_t> refused_{0};

  mutable std::mutex mutex_;
  std::vector<std::string> targets_;      // guarded by mutex_
  std::vector<std::thread> connections_;  // guarded by mutex_; joined by the destructor
  std::vector<int> openSockets_;          // guarded by mutex_; shut down by the destructor
  std::thread acceptThread_;              // last: started when everything else is ready
};

}  // namespace zephyl::test
