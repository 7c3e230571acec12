// Loopback HTTP/1.1 test servers on 127.0.0.1 with an ephemeral port, started by the test itself.
// TestHttpServer serves byte buffers with Range support and misbehaves on request (see
// Misbehaviour); it logs every request as it saw it. All members are thread-safe; the destructor
// cuts open connections and joins every thread. ClosedPort gives a port that refuses connections.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zephyl::test {

// How the body of a successful answer is delimited.
enum class BodyFraming {
  kContentLength,   // Content-Length header, connection kept alive
  kCloseDelimited,  // no length at all: the body ends when the server closes the connection
  kChunked,         // Transfer-Encoding: chunked, no Content-Length
};

// How a served resource answers. Every default is a well-behaved server: 206 with Content-Range
// for a satisfiable range, 200 with the whole body without one, 416 for a range past the end.
struct Misbehaviour {
  // The first failFirst requests of the resource get failStatus with an HTML error page.
  int failFirst = 0;
  int failStatus = 500;
  std::string retryAfter;  // sent as Retry-After with those failures when set
  // The next cutFirst successful answers announce their full length but close the connection
  // after cutAfterBytes body bytes.
  int cutFirst = 0;
  int64_t cutAfterBytes = 0;
  bool ignoreRange = false;   // always 200 with the whole body
  bool unknownTotal = false;  // Content-Range "bytes first-last/*"
  BodyFraming framing = BodyFraming::kContentLength;
  // Content-Length states the true length plus this (the body sent is the true one, after which
  // the connection is closed).
  int64_t lengthLie = 0;
  // A ranged answer starts this many bytes after the asked start (negative: before; clamped to
  // the resource), with a Content-Range and bytes that match where it really starts.
  int64_t startShift = 0;
  int delayMs = 0;  // wait before answering (at most 10 s; cut short by the destructor)
  // Validators sent with every 200/206; an If-Range naming neither gets the whole resource (200).
  std::string etag;
  // With lastModified set, an If-Modified-Since naming exactly it gets 304 without a body.
  std::string lastModified;
  std::string contentDisposition;  // sent with every 200/206 when set
  bool ignoreIfRange = false;  // ranges apply whatever If-Range says
  bool overshoot = false;      // a ranged answer runs to the resource's end, whatever was asked
  std::string rangeUnit = "bytes";  // the unit written in Content-Range
  int64_t claimedTotal = -1;     // when set, the total Content-Range states instead of the true one
  int64_t stallAfterBytes = -1;  // after this many body bytes, pause stallMs (at most 10 s)
  int stallMs = 0;
  std::string redirectTo;  // when set, every request gets a 302 with this Location, no body
  // Each answer's body is paced to this many bytes per second, as over a link that limits every
  // connection; 0: as fast as the socket takes it.
  int64_t bytesPerSecond = 0;
  // With bytesPerSecond set, the first burstBytes of each answer go at once and the pace holds
  // after them, as under a server's per-request limit that starts with a send at full speed.
  int64_t burstBytes = 0;
};

// One request as the server received it.
struct SeenRequest {
  std::string method;
  std::string target;  // path with query, as in the request line
  bool hasRange = false;
  std::string range;    // the Range header value, e.g. "bytes=0-99"; empty without one
  std::string ifRange;  // the If-Range header value; empty without one
  int status = 0;       // status the server answered with
  // Every header by its lowercase name, with its value trimmed (the last of a repeated one).
  std::map<std::string, std::string> headers;
};

// The bytes [*first, *end) this server answers request with for a resource of size bytes: its
// range, the whole resource for a request without one (or with one it does not understand), none
// for a range past the end.
void servedSpan(const SeenRequest& request, int64_t size, int64_t* first, int64_t* end);

// The bytes requests were answered with, a byte asked for by several of them counted once.
int64_t bytesServedOnce(const std::vector<SeenRequest>& requests, int64_t size);

// Deterministic pseudo-random bytes, different for each seed.
std::vector<uint8_t> patternBytes(size_t size, uint32_t seed = 1);

class TestHttpServer {
 public:
  // Listens on 127.0.0.1 at a port the system picks; started() tells whether that worked.
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  bool started() const { return listenFd_ >= 0; }
  int port() const { return port_; }
  // "127.0.0.1:<port>", the URL authority.
  std::string host() const;
  // "http://127.0.0.1:<port>" + path (path starts with "/").
  std::string url(const std::string& path) const;

  // Serves body at path (query strings are ignored when matching); replaces an earlier resource
  // of that path and restarts its counters. Unknown paths get 404 with an HTML page.
  void serve(const std::string& path, std::vector<uint8_t> body,
             const Misbehaviour& misbehaviour = Misbehaviour());
  // Changes how path misbehaves from the next request on, and restarts its counters.
  void setMisbehaviour(const std::string& path, const Misbehaviour& misbehaviour);

  // Every request so far, in arrival order.
  std::vector<SeenRequest> requests() const;
  size_t requestCount() const;
  // Waits at most timeoutMs until at least count requests arrived; false on time-out.
  bool waitForRequests(size_t count, int timeoutMs) const;
  void clearRequests();
  // Body bytes written to connections so far, of every answer (also those the client stopped
  // reading): what a download cost the server.
  int64_t bodyBytesSent() const { return bodyBytesSent_.load(); }
  // The most answers of a resource (200 or 206) that were being sent at once so far.
  int mostAnswersAtOnce() const { return mostAnswersAtOnce_.load(); }

 private:
  struct Resource {
    std::shared_ptr<const std::vector<uint8_t>> body;
    Misbehaviour misbehaviour;
    int requestsSeen = 0;  // answered requests, for failFirst
    int cutsDone = 0;      // answers cut so far, for cutFirst
  };
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
  };
  struct Answer;

  void acceptLoop();
  void serveConnection(Connection* connection);
  // Reads one request head; false when the peer closed, the head is malformed or we stop.
  bool readHead(int fd, std::string* buffer, std::string* head);
  Answer decide(const std::string& method, const std::string& target, bool hasRange,
                const std::string& range, const std::string& ifRange,
                const std::map<std::string, std::string>& headers);
  // Sends the answer; false when the connection must be closed afterwards.
  bool sendAnswer(int fd, const Answer& answer, bool keepAlive);
  bool sendAll(int fd, const char* data, size_t size);
  // Sleeps up to ms, less if the server stops; false when it stops.
  bool pause(int ms);
  void reapFinished();  // Requires: connectionsMutex_ held.

  // Set at construction.
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptThread_;

  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> bodyBytesSent_{0};
  std::atomic<int> answersSending_{0};
  std::atomic<int> mostAnswersAtOnce_{0};

  // Lock order: connectionsMutex_, then mutex_.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;    // a request arrived, or stopping_ was set
  std::map<std::string, Resource> resources_;  // guarded by mutex_
  std::vector<SeenRequest> requests_;          // guarded by mutex_

  std::mutex connectionsMutex_;
  std::condition_variable connectionEnded_;
  std::list<Connection> connections_;  // guarded by connectionsMutex_
};

// A port on 127.0.0.1 that refuses every connection while the object lives: a socket is bound to
// it but never listens, so no other test can take the port meanwhile.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;

  int port() const { return port_; }
  std::string host() const;
  std::string url(const std::string& path) const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace zephyl::test
