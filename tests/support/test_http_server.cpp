#include "support/test_http_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <utility>

#include "support/loopback_socket.h"

namespace zephyl::test {
namespace {

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHeadBytes = size_t{64} * 1024;
constexpr size_t kPieceBytes = size_t{16} * 1024;
constexpr int kPollMs = 50;
constexpr int kMaxPauseMs = 10000;

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

bool parseNumber(const std::string& text, int64_t* value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

enum class RangeKind { kNone, kSatisfiable, kUnsatisfiable };

// One "bytes=" range against a resource of size bytes. Anything this server does not understand
// (several ranges, other units, garbage) counts as no range, as HTTP allows.
RangeKind parseRange(const std::string& header, int64_t size, int64_t* first, int64_t* last) {
  const std::string value = trimmed(header);
  if (value.compare(0, 6, "bytes=") != 0) return RangeKind::kNone;
  const std::string rangeText = trimmed(value.substr(6));
  const size_t dash = rangeText.find('-');
  if (dash == std::string::npos || rangeText.find(',') != std::string::npos)
    return RangeKind::kNone;
  const std::string from = trimmed(rangeText.substr(0, dash));
  const std::string to = trimmed(rangeText.substr(dash + 1));
  int64_t a = 0;
  int64_t b = 0;
  if (from.empty()) {  // suffix: the last b bytes
    if (!parseNumber(to, &b)) return RangeKind::kNone;
    if (b == 0 || size == 0) return RangeKind::kUnsatisfiable;
    *first = std::max<int64_t>(0, size - b);
    *last = size - 1;
    return RangeKind::kSatisfiable;
  }
  if (!parseNumber(from, &a)) return RangeKind::kNone;
  if (to.empty()) {
    b = size - 1;
  } else if (!parseNumber(to, &b) || b < a) {
    return RangeKind::kNone;
  }
  if (a >= size) return RangeKind::kUnsatisfiable;
  *first = a;
  *last = std::min(b, size - 1);
  return RangeKind::kSatisfiable;
}

const char* reasonOf(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

}  // namespace

void servedSpan(const SeenRequest& request, int64_t size, int64_t* first, int64_t* end) {
  int64_t last = size - 1;
  *first = 0;
  switch (request.hasRange ? parseRange(request.range, size, first, &last) : RangeKind::kNone) {
    case RangeKind::kSatisfiable:
      *end = last + 1;
      return;
    case RangeKind::kUnsatisfiable:
      *end = *first;
      return;
    case RangeKind::kNone:
      *first = 0;
      *end = size;
      return;
  }
}

int64_t bytesServedOnce(const std::vector<SeenRequest>& requests, int64_t size) {
  std::vector<std::pair<int64_t, int64_t>> spans;
  for (const SeenRequest& request : requests) {
    int64_t first = 0;
    int64_t end = 0;
    servedSpan(request, size, &first, &end);
    spans.emplace_back(first, end);
  }
  std::sort(spans.begin(), spans.end());
  int64_t total = 0;
  int64_t reached = 0;
  for (const auto& [begin, end] : spans) {
    total += std::max<int64_t>(0, end - std::max(begin, reached));
    reached = std::max(reached, end);
  }
  return total;
}

std::vector<uint8_t> patternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 0x9e3779b9u;
  if (x == 0) x = 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

// What one request is answered with.
struct TestHttpServer::Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::shared_ptr<const std::vector<uint8_t>> body;  // the resource, or null for a page
  size_t offset = 0;                                 // the slice of body sent
  size_t length = 0;
  std::string page;       // body of an error or empty answer when body is null
  bool resource = false;  // a 200/206 of a resource: framing and the misbehaviours apply
  BodyFraming framing = BodyFraming::kContentLength;
  int64_t lengthLie = 0;
  int64_t cutAfter = -1;
  int delayMs = 0;
  int64_t stallAfter = -1;
  int stallMs = 0;
  int64_t bytesPerSecond = 0;
  int64_t burstBytes = 0;
};

TestHttpServer::TestHttpServer() {
  const int fd = net::bindLoopback(true, &port_);
  if (fd < 0) return;
  listenFd_ = fd;
  acceptThread_ = std::thread(&TestHttpServer::acceptLoop, this);
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  for (Connection& connection : connections_) net::shutdownBoth(connection.fd);
  for (Connection& connection : connections_) {
    if (connection.thread.joinable()) connection.thread.join();
    net::closeSocket(connection.fd);
  }
  connections_.clear();
  if (listenFd_ >= 0) net::closeSocket(listenFd_);
}

std::string TestHttpServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::string TestHttpServer::url(const std::string& path) const { return "http://" + host() + path; }

void TestHttpServer::serve(const std::string& path, std::vector<uint8_t> body,
                           const Misbehaviour& misbehaviour) {
  Resource resource;
  resource.body = std::make_shared<const std::vector<uint8_t>>(std::move(body));
  resource.misbehaviour = misbehaviour;
  std::lock_guard<std::mutex> lock(mutex_);
  resources_[path] = std::move(resource);
}

void TestHttpServer::setMisbehaviour(const std::string& path, const Misbehaviour& misbehaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = resources_.find(path);
  if (entry == resources_.end()) return;
  entry->second.misbehaviour = misbehaviour;
  entry->second.requestsSeen = 0;
  entry->second.cutsDone = 0;
}

std::vector<SeenRequest> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t TestHttpServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool TestHttpServer::waitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= count; });
}

void TestHttpServer::clearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

void TestHttpServer::acceptLoop() {
  while (!stopping_) {
    {
      std::unique_lock<std::mutex> lock(connectionsMutex_);
      reapFinished();
      if (connections_.size() >= kMaxConnections) {
        connectionEnded_.wait_for(lock, std::chrono::milliseconds(kPollMs));
        continue;
      }
    }
    if (net::waitReadable(listenFd_, kPollMs) <= 0) continue;
    const int fd = net::acceptConnection(listenFd_);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections_.emplace_back();
    Connection* connection = &connections_.back();
    connection->fd = fd;
    try {
      connection->thread = std::thread(&TestHttpServer::serveConnection, this, connection);
    } catch (const std::system_error&) {
      net::closeSocket(fd);
      connections_.pop_back();
    }
  }
}

void TestHttpServer::reapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (!it->finished) {
      ++it;
      continue;
    }
    if (it->thread.joinable()) it->thread.join();
    net::closeSocket(it->fd);
    it = connections_.erase(it);
  }
}

void TestHttpServer::serveConnection(Connection* connection) {
  const int fd = connection->fd;
  std::string buffer;
  std::string head;
  while (readHead(fd, &buffer, &head)) {
    // Request line, then "Name: value" lines.
    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstBlank = requestLine.find(' ');
    const size_t secondBlank = requestLine.find(' ', firstBlank + 1);
    if (firstBlank == std::string::npos || secondBlank == std::string::npos) break;
    const std::string method = requestLine.substr(0, firstBlank);
    const std::string target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    const std::string version = requestLine.substr(secondBlank + 1);
    bool hasRange = false;
    std::string range;
    std::string ifRange;
    std::string connectionHeader;
    std::map<std::string, std::string> headers;
    size_t position = lineEnd + 2;
    while (position < head.size()) {
      const size_t end = head.find("\r\n", position);
      if (end == std::string::npos || end == position) break;
      const std::string line = head.substr(position, end - position);
      position = end + 2;
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      const std::string name = lowerCase(trimmed(line.substr(0, colon)));
      const std::string value = trimmed(line.substr(colon + 1));
      headers[name] = value;
      if (name == "range") {
        hasRange = true;
        range = value;
      } else if (name == "if-range") {
        ifRange = value;
      } else if (name == "connection") {
        connectionHeader = lowerCase(value);
      }
    }
    const bool keepAlive =
        version == "HTTP/1.0" ? connectionHeader == "keep-alive" : connectionHeader != "close";
    const Answer answer = decide(method, target, hasRange, range, ifRange, headers);
    if (!sendAnswer(fd, answer, keepAlive && method != "HEAD")) break;
  }
  net::shutdownBoth(fd);  // the peer sees the end; the fd is closed when the thread is reaped
  connection->finished = true;
  connectionEnded_.notify_all();
}

bool TestHttpServer::readHead(int fd, std::string* buffer, std::string* head) {
  for (;;) {
    const size_t end = buffer->find("\r\n\r\n");
    if (end != std::string::npos) {
      *head = buffer->substr(0, end + 4);
      buffer->erase(0, end + 4);
      return true;
    }
    if (buffer->size() > kMaxHeadBytes || stopping_) return false;
    const int ready = net::waitReadable(fd, kPollMs);
    if (ready < 0) return false;
    if (ready == 0) continue;
    char bytes[4096];
    const long received = net::receiveSome(fd, bytes, sizeof bytes);
    if (received <= 0) return false;
    buffer->append(bytes, static_cast<size_t>(received));
  }
}

TestHttpServer::Answer TestHttpServer::decide(const std::string& method, const std::string& target,
                                              bool hasRange, const std::string& range,
                                              const std::string& ifRange,
                                              const std::map<std::string, std::string>& headers) {
  const std::string path = target.substr(0, target.find('?'));
  Answer answer;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = resources_.find(path);
  bool errorPage = entry == resources_.end();
  answer.status = 404;
  if (!errorPage) {
    Resource& resource = entry->second;
    const Misbehaviour& misbehaviour = resource.misbehaviour;
    answer.delayMs = std::clamp(misbehaviour.delayMs, 0, kMaxPauseMs);
    const int index = resource.requestsSeen++;
    if (!misbehaviour.redirectTo.empty()) {
      answer.status = 302;
      answer.headers.emplace_back("Location", misbehaviour.redirectTo);
    } else if (index < misbehaviour.failFirst) {
      errorPage = true;
      answer.status = misbehaviour.failStatus;
      if (!misbehaviour.retryAfter.empty()) {
        answer.headers.emplace_back("Retry-After", misbehaviour.retryAfter);
      }
    } else if (!misbehaviour.lastModified.empty() && headers.count("if-modified-since") != 0 &&
               headers.at("if-modified-since") == misbehaviour.lastModified) {
      answer.status = 304;
    } else {
      const int64_t size = static_cast<int64_t>(resource.body->size());
      int64_t first = 0;
      int64_t last = size - 1;
      // If-Range: the range applies only while the resource is the one the validator names;
      // otherwise the whole (new) resource comes.
      const bool ifRangeHolds =
          ifRange.empty() || misbehaviour.ignoreIfRange ||
          (!misbehaviour.etag.empty() && ifRange == misbehaviour.etag) ||
          (!misbehaviour.lastModified.empty() && ifRange == misbehaviour.lastModified);
      const RangeKind kind = hasRange && !misbehaviour.ignoreRange && ifRangeHolds
                                 ? parseRange(range, size, &first, &last)
                                 : RangeKind::kNone;
      if (kind == RangeKind::kUnsatisfiable) {
        answer.status = 416;
        answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
      } else {
        answer.status = 200;
        if (kind == RangeKind::kSatisfiable) {
          answer.status = 206;
          const int64_t span = last - first;
          first = std::clamp<int64_t>(first + misbehaviour.startShift, 0, size - 1);
          last = misbehaviour.overshoot ? size - 1 : std::min(size - 1, first + span);
          answer.headers.emplace_back(
              "Content-Range",
              misbehaviour.rangeUnit + " " + std::to_string(first) + "-" + std::to_string(last) +
                  "/" +
                  (misbehaviour.unknownTotal
                       ? std::string("*")
                       : std::to_string(misbehaviour.claimedTotal >= 0 ? misbehaviour.claimedTotal
                                                                       : size)));
        } else {
          first = 0;
          last = size - 1;
        }
        answer.resource = true;
        answer.body = resource.body;
        answer.offset = static_cast<size_t>(first);
        answer.length = static_cast<size_t>(last - first + 1);
        answer.framing = misbehaviour.framing;
        answer.lengthLie = misbehaviour.lengthLie;
        answer.stallAfter = misbehaviour.stallAfterBytes;
        answer.stallMs = std::clamp(misbehaviour.stallMs, 0, kMaxPauseMs);
        answer.bytesPerSecond = std::max<int64_t>(0, misbehaviour.bytesPerSecond);
        answer.burstBytes = std::max<int64_t>(0, misbehaviour.burstBytes);
        if (resource.cutsDone < misbehaviour.cutFirst) {
          ++resource.cutsDone;
          answer.cutAfter = std::max<int64_t>(0, misbehaviour.cutAfterBytes);
        }
      }
    }
  }
  if (errorPage) {
    const std::string title = std::to_string(answer.status) + " " + reasonOf(answer.status);
    answer.page = "<html><head><title>" + title + "</title></head><body><h1>" + title +
                  "</h1><p>zephyl test server</p></body></html>\n";
    answer.headers.emplace_back("Content-Type", "text/html");
  } else if (answer.resource) {
    answer.headers.emplace_back("Content-Type", "application/octet-stream");
    answer.headers.emplace_back("Accept-Ranges", "bytes");
    const Misbehaviour& misbehaviour = entry->second.misbehaviour;
    if (!misbehaviour.etag.empty()) answer.headers.emplace_back("ETag", misbehaviour.etag);
    if (!misbehaviour.lastModified.empty()) {
      answer.headers.emplace_back("Last-Modified", misbehaviour.lastModified);
    }
    if (!misbehaviour.contentDisposition.empty()) {
      answer.headers.emplace_back("Content-Disposition", misbehaviour.contentDisposition);
    }
  }
  SeenRequest seen;
  seen.method = method;
  seen.target = target;
  seen.hasRange = hasRange;
  seen.range = range;
  seen.ifRange = ifRange;
  seen.status = answer.status;
  seen.headers = headers;
  requests_.push_back(std::move(seen));
  changed_.notify_all();
  return answer;
}

bool TestHttpServer::sendAnswer(int fd, const Answer& answer, bool keepAlive) {
  if (answer.delayMs > 0 && !pause(answer.delayMs)) return false;
  const uint8_t* data = answer.body != nullptr
                            ? answer.body->data() + answer.offset
                            : reinterpret_cast<const uint8_t*>(answer.page.data());
  const size_t length = answer.body != nullptr ? answer.length : answer.page.size();
  const BodyFraming framing = answer.resource ? answer.framing : BodyFraming::kContentLength;
  const bool closeAfter = !keepAlive || answer.cutAfter >= 0 ||
                          (answer.resource && answer.lengthLie != 0) ||
                          framing == BodyFraming::kCloseDelimited;

  std::string head =
      "HTTP/1.1 " + std::to_string(answer.status) + " " + reasonOf(answer.status) + "\r\n";
  for (const auto& [name, value] : answer.headers) {
    head.append(name).append(": ").append(value).append("\r\n");
  }
  if (framing == BodyFraming::kContentLength) {
    const int64_t stated = static_cast<int64_t>(length) + (answer.resource ? answer.lengthLie : 0);
    head += "Content-Length: " + std::to_string(stated) + "\r\n";
  } else if (framing == BodyFraming::kChunked) {
    head += "Transfer-Encoding: chunked\r\n";
  }
  head += closeAfter ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
  if (!sendAll(fd, head.data(), head.size())) return false;

  const size_t limit =
      answer.cutAfter >= 0 ? std::min(length, static_cast<size_t>(answer.cutAfter)) : length;
  // Counted while its body is sent.
  struct Sending {
    explicit Sending(const Answer& answer, std::atomic<int>& now, std::atomic<int>& most)
        : counted(answer.resource), now(now) {
      if (!counted) return;
      const int at = ++now;
      int seen = most.load();
      while (at > seen && !most.compare_exchange_weak(seen, at)) {
      }
    }
    ~Sending() {
      if (counted) --now;
    }
    const bool counted;
    std::atomic<int>& now;
  } sending(answer, answersSending_, mostAnswersAtOnce_);
  bool stalled = answer.stallAfter < 0;
  size_t sent = 0;
  const auto bodyStart = std::chrono::steady_clock::now();
  while (sent < limit) {
    if (answer.bytesPerSecond > 0) {
      // The next piece leaves when the bytes sent so far past the burst have had their time.
      const int64_t paced = std::max<int64_t>(0, static_cast<int64_t>(sent) - answer.burstBytes);
      const auto due =
          bodyStart + std::chrono::microseconds(paced * 1000000 / answer.bytesPerSecond);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
          due - std::chrono::steady_clock::now());
      if (wait.count() > 0 && !pause(static_cast<int>(wait.count()))) return false;
    }
    size_t piece = std::min(kPieceBytes, limit - sent);
    if (!stalled && sent + piece > static_cast<size_t>(answer.stallAfter)) {
      piece = static_cast<size_t>(answer.stallAfter) - sent;
      if (piece == 0) {
        stalled = true;
        if (!pause(answer.stallMs)) return false;
        continue;
      }
    }
    if (framing == BodyFraming::kChunked) {
      char size[32];
      const int written = std::snprintf(size, sizeof size, "%zx\r\n", piece);
      if (!sendAll(fd, size, static_cast<size_t>(written))) return false;
    }
    if (!sendAll(fd, reinterpret_cast<const char*>(data + sent), piece)) return false;
    bodyBytesSent_ += static_cast<int64_t>(piece);
    if (framing == BodyFraming::kChunked && !sendAll(fd, "\r\n", 2)) return false;
    sent += piece;
  }
  if (limit < length) return false;  // cut: the connection ends here
  if (framing == BodyFraming::kChunked && !sendAll(fd, "0\r\n\r\n", 5)) return false;
  return !closeAfter;
}

bool TestHttpServer::sendAll(int fd, const char* data, size_t size) {
  return net::sendAll(fd, data, size);
}

bool TestHttpServer::pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(std::clamp(ms, 0, kMaxPauseMs)),
                    [&] { return stopping_.load(); });
  return !stopping_;
}

ClosedPort::ClosedPort() { fd_ = net::bindLoopback(false, &port_); }

ClosedPort::~ClosedPort() {
  if (fd_ >= 0) net::closeSocket(fd_);
}

std::string ClosedPort::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::string ClosedPort::url(const std::string& path) const { return "http://" + host() + path; }

}  // namespace zephyl::test
