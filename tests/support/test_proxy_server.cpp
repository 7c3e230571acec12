#include "support/test_proxy_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "support/loopback_socket.h"

namespace zephyl::test {
namespace {

constexpr int kPollMs = 20;             // how late a stop is noticed at worst
constexpr int kIdleLimitMs = 30000;     // a connection without a byte for this long is dropped
constexpr size_t kMaxHeadBytes = 65536;  // a request or answer head larger than this is refused

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of the header in a head, trimmed; empty without one.
std::string headerValue(const std::string& head, const std::string& name) {
  const std::string lowerHead = lowered(head);
  const size_t at = lowerHead.find("\r\n" + lowered(name) + ":");
  if (at == std::string::npos) return std::string();
  size_t start = at + name.size() + 3;
  const size_t end = head.find("\r\n", start);
  while (start < end && head[start] == ' ') ++start;
  return head.substr(start, end - start);
}

// Reads until the end of a head ("\r\n\r\n"); false on a closed, idle or oversized stream.
// *head ends with the blank line; *rest holds the bytes read after it.
bool readHead(int socket, const std::atomic<bool>& stopping, std::string* head,
              std::string* rest) {
  std::string data;
  char buffer[4096];
  int idleMs = 0;
  while (!stopping.load()) {
    const size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      *head = data.substr(0, end + 4);
      *rest = data.substr(end + 4);
      return true;
    }
    if (data.size() > kMaxHeadBytes || idleMs > kIdleLimitMs) return false;
    const int ready = net::waitReadable(socket, kPollMs);
    if (ready < 0) return false;
    if (ready == 0) {
      idleMs += kPollMs;
      continue;
    }
    const long received = net::receiveSome(socket, buffer, sizeof buffer);
    if (received <= 0) return false;
    data.append(buffer, static_cast<size_t>(received));
    idleMs = 0;
  }
  return false;
}

// The port of "127.0.0.1:port" or "localhost:port"; 0 for any other host.
int loopbackPort(const std::string& authority) {
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return 0;
  const std::string host = lowered(authority.substr(0, colon));
  if (host != "127.0.0.1" && host != "localhost") return 0;
  return std::atoi(authority.c_str() + colon + 1);
}

bool sendText(int socket, const std::string& text) {
  return net::sendAll(socket, text.data(), text.size());
}

}  // namespace

TestProxyServer::TestProxyServer(std::string authorization)
    : authorization_(std::move(authorization)) {
  listenFd_ = net::bindLoopback(true, &port_);
  if (listenFd_ >= 0) acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestProxyServer::~TestProxyServer() {
  stopping_.store(true);
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int socket : openSockets_) net::shutdownBoth(socket);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
  if (listenFd_ >= 0) net::closeSocket(listenFd_);
}

std::string TestProxyServer::url(const std::string& userInfo) const {
  return "http://" + (userInfo.empty() ? std::string() : userInfo + "@") + "127.0.0.1:" +
         std::to_string(port_);
}

std::vector<std::string> TestProxyServer::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void TestProxyServer::acceptLoop() {
  while (!stopping_.load()) {
    if (net::waitReadable(listenFd_, kPollMs) != 1) continue;
    const int client = net::acceptConnection(listenFd_);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    openSockets_.push_back(client);
    connections_.emplace_back([this, client] { serveConnection(client); });
  }
}

bool TestProxyServer::authorized(const std::string& head) const {
  return authorization_.empty() || headerValue(head, "Proxy-Authorization") == authorization_;
}

void TestProxyServer::serveConnection(int client) {
  // One request per client connection: each answer says "Connection: close".
  std::string head;
  std::string rest;
  if (readHead(client, stopping_, &head, &rest)) {
    const size_t methodEnd = head.find(' ');
    const size_t targetEnd = head.find(' ', methodEnd + 1);
    const std::string method = head.substr(0, methodEnd);
    const std::string target = methodEnd == std::string::npos || targetEnd == std::string::npos
                                   ? std::string()
                                   : head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
    }
    if (!authorized(head)) {
      ++refused_;
      sendText(client,
               "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
               "realm=\"test\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else if (method == "CONNECT") {
      tunnel(client, target, rest);
    } else {
      forward(client, head, rest);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  openSockets_.erase(std::find(openSockets_.begin(), openSockets_.end(), client));
  net::closeSocket(client);
}

void TestProxyServer::tunnel(int client, const std::string& target, const std::string& rest) {
  const int port = loopbackPort(target);
  const int origin = port > 0 ? net::connectLoopback(port) : -1;
  if (origin < 0) {
    sendText(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  ++tunnels_;
  if (sendText(client, "HTTP/1.1 200 Connection established\r\n\r\n") &&
      (rest.empty() || sendText(origin, rest))) {
    relay(client, origin);
  }
  net::closeSocket(origin);
}

void TestProxyServer::forward(int client, const std::string& head, const std::string& rest) {
  // "GET http://127.0.0.1:port/path HTTP/1.1": the origin gets "GET /path HTTP/1.1".
  const size_t schemeEnd = head.find("://");
  const size_t lineEnd = head.find("\r\n");
  const size_t pathStart = schemeEnd == std::string::npos ? std::string::npos
                                                          : head.find('/', schemeEnd + 3);
  const int port = pathStart == std::string::npos || pathStart > lineEnd
                       ? 0
                       : loopbackPort(head.substr(schemeEnd + 3, pathStart - schemeEnd - 3));
  const int origin = port > 0 ? net::connectLoopback(port) : -1;
  if (origin < 0) {
    sendText(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  ++forwarded_;
  const size_t methodEnd = head.find(' ');
  // The origin closes after its answer (the client's Proxy-Connection is for this proxy only).
  const std::string request = head.substr(0, methodEnd + 1) +
                              head.substr(pathStart, lineEnd - pathStart) +
                              "\r\nVia: 1.1 test-proxy\r\nConnection: close" +
                              head.substr(lineEnd) + rest;
  std::string answer;
  std::string body;
  if (sendText(origin, request) && readHead(origin, stopping_, &answer, &body)) {
    // The client learns that this connection ends with the answer.
    const size_t statusEnd = answer.find("\r\n");
    answer.insert(statusEnd + 2, "Connection: close\r\n");
    if (sendText(client, answer) && (body.empty() || sendText(client, body))) {
      relay(client, origin);
    }
  }
  net::closeSocket(origin);
}

void TestProxyServer::relay(int first, int second) {
  char buffer[65536];
  auto lastByte = std::chrono::steady_clock::now();
  while (!stopping_.load()) {
    bool moved = false;
    for (const auto& [from, to] : {std::pair<int, int>(first, second), {second, first}}) {
      const int ready = net::waitReadable(from, moved ? 0 : kPollMs / 2);
      if (ready < 0) return;
      if (ready == 0) continue;
      const long received = net::receiveSome(from, buffer, sizeof buffer);
      if (received <= 0 || !net::sendAll(to, buffer, static_cast<size_t>(received))) return;
      moved = true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (moved) {
      lastByte = now;
    } else if (now - lastByte > std::chrono::milliseconds(kIdleLimitMs)) {
      return;
    }
  }
}

}  // namespace zephyl::test
