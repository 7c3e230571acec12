#include "engine/http_chunk_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <thread>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "support/httplib_runner.h"
#include "support/self_signed_certificate.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/test_https_server.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

using test::BodyFraming;
using test::HttplibRunner;
using test::ClosedPort;
using test::Misbehaviour;
using test::patternBytes;
using test::TestHttpServer;

constexpr auto kDoneTimeout = std::chrono::seconds(30);

// One chunk driven the way a planner drives it: the range starts at the first byte not yet
// received, bytes are appended in order, and every onConnected call is recorded. The callbacks
// run on the client's worker; the test reads the fields after the done signal.
struct TestChunk {
  TestChunk(const std::string& url, int32_t chunkId, int64_t first, int64_t last)
      : next(first), last(last) {
    request.url = url;
    request.chunkId = chunkId;
    request.rangeProvider = [this] {
      return std::to_string(next.load()) + "-" +
             (this->last >= 0 ? std::to_string(this->last) : "");
    };
    state.onConnected = [this](int32_t httpCode, int64_t contentLength) {
      connects.emplace_back(httpCode, contentLength);
      if (gate.valid()) gate.wait_for(std::chrono::seconds(20));
      return acceptAnswers;
    };
    state.onData = [this](int32_t id, int32_t length, const uint8_t* data) {
      EXPECT_EQ(id, request.chunkId);
      if (refuseWrites) {
        state.history.writeErrorCode = ZPResponse::EXECUTE_ERROR;
        state.history.writeErrorMsg = "no room for the chunk";
        return false;
      }
      received.insert(received.end(), data, data + length);
      next += length;
      ++writes;
      if (!sawBytes.exchange(true)) firstBytes.set_value();
      return true;
    };
  }

  bool waitDone() { return state.doneFuture.wait_for(kDoneTimeout) == std::future_status::ready; }

  ChunkRequest request;
  ChunkState state;
  std::atomic<int64_t> next;
  const int64_t last;  // -1: open range
  std::vector<uint8_t> received;
  std::vector<std::pair<int32_t, int64_t>> connects;
  bool acceptAnswers = true;
  bool refuseWrites = false;
  std::shared_future<void> gate;  // when valid, onConnected waits for it
  std::atomic<bool> sawBytes{false};
  std::promise<void> firstBytes;
  int writes = 0;  // onData calls that stored bytes
};

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t first, size_t last) {
  return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                              bytes.begin() + static_cast<std::ptrdiff_t>(last) + 1);
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class HttpChunkClientTest : public testing::Test {
 protected:
  HttpChunkClientTest() {
    // Every attempt ends on its own even if a test goes wrong.
    policy_.timeoutMs = 20000;
  }

  void SetUp() override { ASSERT_TRUE(server_.started()); }

  void TearDown() override {
    if (capturing_) stopCapture();
    setLogThreshold(None);
  }

  void startCapture() {
    setLogThreshold(Verbose);
    testing::internal::CaptureStdout();
    capturing_ = true;
  }

  std::string stopCapture() {
    capturing_ = false;
    std::string output = testing::internal::GetCapturedStdout();
    setLogThreshold(None);
    return output;
  }

  // Submits the chunk on a fresh client and waits for its end; the client is gone afterwards, so
  // every log line of the chunk has been written.
  void run(TestChunk& chunk, int threads = 2) {
    HttpChunkClient client(policy_, threads);
    client.submit(chunk.request, chunk.state);
    ASSERT_TRUE(chunk.waitDone());
  }

  // run, with the log lines of every level that the chunk wrote.
  std::string runLogged(TestChunk& chunk) {
    startCapture();
    run(chunk);
    return stopCapture();
  }

  ZPHttpPolicy policy_;
  TestHttpServer server_;
  bool capturing_ = false;
};

// --- Successful answers -------------------------------------------------------------------------

TEST_F(HttpChunkClientTest, RangedAnswerDeliversExactlyTheAskedBytes) {
  const auto body = patternBytes(100000, 3);
  server_.serve("/file", body);
  TestChunk chunk(server_.url("/file"), 3, 1000, 50999);
  const std::string log = runLogged(chunk);

  EXPECT_EQ(chunk.received, slice(body, 1000, 50999));
  EXPECT_EQ(chunk.state.outcome.errorCode, 0);
  EXPECT_EQ(chunk.state.outcome.httpCode, 206);
  EXPECT_EQ(chunk.state.answer.contentLength, 100000);
  EXPECT_TRUE(chunk.state.answer.totalLengthKnown);
  EXPECT_TRUE(chunk.state.answer.rangeHonoured);
  EXPECT_EQ(chunk.state.answer.contentRangeStart, 1000);
  EXPECT_EQ(chunk.state.answer.contentRangeEnd, 50999);
  EXPECT_EQ(chunk.state.stats.downloadedSize, 50000);
  ASSERT_EQ(chunk.connects.size(), 1u);
  EXPECT_EQ(chunk.connects[0], std::make_pair(206, int64_t{100000}));
  EXPECT_EQ(chunk.state.stats.domains.count(server_.host()), 1u);
  EXPECT_EQ(chunk.state.stats.remoteIps.count("127.0.0.1"), 1u);
  EXPECT_TRUE(HttpChunkClient::classify(chunk.state, nullptr).isSuccess());

  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].range, "bytes=1000-50999");
  EXPECT_NE(log.find("submit request chunkId: 3, range: 1000-50999\n"), std::string::npos);
  EXPECT_NE(log.find("httpCode: 206\n"), std::string::npos);
  EXPECT_NE(log.find("contentLength: 100000\n"), std::string::npos);
  EXPECT_NE(log.find("chunkId: 3, download success, size: 50000\n"), std::string::npos);
}

// The hosts a chunk was fetched from name the host and port alone: user information in the URL
// is a credential, and the metrics record lists these hosts.
TEST_F(HttpChunkClientTest, DomainsNameTheHostWithoutUserInformation) {
  server_.serve("/file", patternBytes(1000, 4));
  const std::string url = server_.url("/file");
  TestChunk chunk("http://eve:s3cret@" + url.substr(std::string("http://").size()), 0, 0, 999);
  run(chunk);
  EXPECT_EQ(chunk.state.outcome.errorCode, 0);
  EXPECT_EQ(chunk.state.stats.domains, std::unordered_set<std::string>{server_.host()});
}

// The sink gets a few large writes, not one per libcurl callback (at most 16 KiB each): a
// write per callback cost the sink 64 system writes per MiB.
TEST_F(HttpChunkClientTest, BodyReachesTheSinkInLargeWrites) {
  const auto body = patternBytes(2 * 1024 * 1024, 4);
  server_.serve("/big", body);
  TestChunk chunk(server_.url("/big"), 1, 0, static_cast<int64_t>(body.size()) - 1);
  run(chunk);

  EXPECT_EQ(chunk.received, body);
  EXPECT_EQ(chunk.state.stats.downloadedSize, static_cast<int64_t>(body.size()));
  // Eight full batches; a slow machine may hand on a few batches early, after their wait.
  EXPECT_GE(chunk.writes, 8);
  EXPECT_LE(chunk.writes, 32);
}

TEST_F(HttpChunkClientTest, AnswerWithoutRangeIsTheWholeResourceWithItsLength) {
  const auto body = patternBytes(70000, 4);
  server_.serve("/whole", body);
  TestChunk chunk(server_.url("/whole"), 0, 0, -1);
  chunk.request.rangeProvider = [] { return std::string(); };
  const std::string log = runLogged(chunk);

  EXPECT_EQ(chunk.received, body);
  EXPECT_EQ(chunk.state.outcome.httpCode, 200);
  EXPECT_EQ(chunk.state.answer.contentLength, 70000);
  EXPECT_TRUE(chunk.state.answer.totalLengthKnown);
  EXPECT_TRUE(chunk.state.answer.rangeHonoured);
  EXPECT_FALSE(server_.requests().at(0).hasRange);
  EXPECT_NE(log.find("total contentLength: 70000\n"), std::string::npos);
}

TEST_F(HttpChunkClientTest, ServerIgnoringRangeIsAcceptedForARangeStartingAtZero) {
  const auto body = patternBytes(30000, 5);
  Misbehaviour ignoring;
  ignoring.ignoreRange = true;
  server_.serve("/plain", body, ignoring);
  TestChunk chunk(server_.url("/plain"), 0, 0, 9999);
  run(chunk);

  // The planner learns from the 200 that the server ignores ranges; the bytes are all in place.
  EXPECT_EQ(chunk.state.outcome.errorCode, 0);
  EXPECT_EQ(chunk.state.outcome.httpCode, 200);
  EXPECT_TRUE(chunk.state.answer.rangeHonoured);
  EXPECT_EQ(chunk.state.answer.contentLength, 30000);
  EXPECT_EQ(chunk.received, body);
}

// --- Answers that do not fit the range are never written ----------------------------------------

TEST_F(HttpChunkClientTest, WholeBodyAnswerToARangePastZeroIsRefusedBeforeAnyByte) {
  Misbehaviour ignoring;
  ignoring.ignoreRange = true;
  server_.serve("/plain", patternBytes(30000, 6), ignoring);
  TestChunk chunk(server_.url("/plain"), 2, 10000, 19999);
  run(chunk);

  EXPECT_TRUE(chunk.received.empty());
  EXPECT_EQ(chunk.state.stats.downloadedSize, 0);
  EXPECT_TRUE(chunk.state.outcome.answerRefused);
  EXPECT_FALSE(chunk.state.answer.rangeHonoured);
  EXPECT_EQ(chunk.state.outcome.errorCode, HttpChunkClient::kAnswerRefused);
  // Asking again would bring the same answer: no retry.
  EXPECT_EQ(server_.requestCount(), 1u);
  // The final failure still releases a planner waiting for the first answer.
  ASSERT_EQ(chunk.connects.size(), 1u);
  EXPECT_EQ(chunk.connects[0].first, 200);
  EXPECT_FALSE(HttpChunkClient::classify(chunk.state, nullptr).isSuccess());
}

TEST_F(HttpChunkClientTest, ContentRangeStartingElsewhereIsRefusedBeforeAnyByte) {
  Misbehaviour shifted;
  shifted.startShift = -100;
  server_.serve("/shifted", patternBytes(30000, 7), shifted);
  TestChunk chunk(server_.url("/shifted"), 1, 5000, 9999);
  run(chunk);

  EXPECT_TRUE(chunk.received.empty());
  EXPECT_TRUE(chunk.state.outcome.answerRefused);
  EXPECT_EQ(chunk.state.answer.contentRangeStart, 4900);
  EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(HttpChunkClientTest, OnConnectedRefusalEndsTheChunkWithoutWritingOrRetrying) {
  const auto body = patternBytes(20000, 8);
  server_.serve("/file", body);
  TestChunk chunk(server_.url("/file"), 0, 0, 9999);
  chunk.acceptAnswers = false;
  run(chunk);

  EXPECT_TRUE(chunk.received.empty());
  EXPECT_TRUE(chunk.state.outcome.answerRefused);
  EXPECT_TRUE(chunk.state.outcome.connected);
  EXPECT_EQ(chunk.state.outcome.errorCode, HttpChunkClient::kAnswerRefused);
  ASSERT_EQ(chunk.connects.size(), 1u);  // told once, not again at the final failure
  EXPECT_EQ(chunk.connects[0], std::make_pair(206, int64_t{20000}));
  EXPECT_EQ(server_.requestCount(), 1u);
}

// --- Failures with an HTTP status ---------------------------------------------------------------

TEST_F(HttpChunkClientTest, NotFoundIsRetriedOnceThenFailsAsServerErrorWithoutItsPage) {
  Misbehaviour missing;
  missing.failFirst = 100;
  missing.failStatus = 404;
  server_.serve("/gone", patternBytes(1000, 9), missing);
  TestChunk chunk(server_.url("/gone"), 0, 0, 999);
  const std::string log = runLogged(chunk);

  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_TRUE(chunk.received.empty());  // the HTML page is not data
  EXPECT_EQ(chunk.state.stats.downloadedSize, 0);
  EXPECT_EQ(chunk.state.outcome.httpCode, 404);
  EXPECT_EQ(countOf(log, "chunkId: 0, error: 1000(http code error), httpCode: 404\n"), 2u);
  EXPECT_EQ(countOf(log, "chunkId: 0, serverErrorCount: 0, retry\n"), 1u);
  EXPECT_EQ(countOf(log, "serverErrorCount: 1, retry"), 0u);
  EXPECT_EQ(countOf(log, "change domain"), 0u);
  EXPECT_EQ(countOf(log, "chunkId: 0, download failed\n"), 1u);
  ASSERT_EQ(chunk.connects.size(), 1u);
  EXPECT_EQ(chunk.connects[0].first, 404);

  DownloadMetrics metrics;
  const ZPResponse response = HttpChunkClient::classify(chunk.state, &metrics);
  EXPECT_EQ(response.resultCode, ZPResponse::RESULT_FAILED);
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_SERVER_ERROR);
  EXPECT_EQ(response.errorMsg, "http code error");
  EXPECT_EQ(response.extraErrorCode, 1000);
}

TEST_F(HttpChunkClientTest, ServerErrorThenSuccessDeliversOnlyTheResourceBytes) {
  const auto body = patternBytes(50000, 10);
  Misbehaviour flaky;
  flaky.failFirst = 1;
  flaky.failStatus = 500;
  server_.serve("/flaky", body, flaky);
  TestChunk chunk(server_.url("/flaky"), 0, 0, 49999);
  run(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, 0);
  EXPECT_EQ(chunk.received, body);
  EXPECT_EQ(chunk.state.history.serverErrorCount, 1);
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].status, 500);
  EXPECT_EQ(seen[1].status, 206);
  EXPECT_EQ(seen[1].range, "bytes=0-49999");
}

TEST_F(HttpChunkClientTest, WriterRefusalClassifiesAsDataWriteError) {
  server_.serve("/file", patternBytes(20000, 11));
  TestChunk chunk(server_.url("/file"), 4, 0, 19999);
  chunk.refuseWrites = true;
  const std::string log = runLogged(chunk);

  EXPECT_TRUE(chunk.state.history.writeFailed);
  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_WRITE_ERROR);
  // The status was known: a server-kind retry, then the end.
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(countOf(log, "WriteFunction failed\n"), 2u);
  EXPECT_EQ(countOf(log, "chunkId: 4, serverErrorCount: 0, retry\n"), 1u);
  EXPECT_EQ(countOf(log, "chunkId: 4, download failed\n"), 1u);

  DownloadMetrics metrics;
  const ZPResponse response = HttpChunkClient::classify(chunk.state, &metrics);
  EXPECT_EQ(response.errorCode, ZPResponse::DATA_WRITE_ERROR);
  EXPECT_EQ(response.errorMsg, "no room for the chunk");
  EXPECT_EQ(response.extraErrorCode, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(metrics.client_extra_error_code, ZPResponse::EXECUTE_ERROR);
}

// --- Failures without an HTTP status ------------------------------------------------------------

TEST_F(HttpChunkClientTest, RefusedConnectionIsRetriedTwiceThenFailsAsNetworkError) {
  ClosedPort closed;
  TestChunk chunk(closed.url("/file"), 0, 0, 999);
  const std::string log = runLogged(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(chunk.state.outcome.httpCode, 0);
  EXPECT_EQ(countOf(log, "chunkId: 0, netErrorCount: 0, retry\n"), 1u);
  EXPECT_EQ(countOf(log, "chunkId: 0, netErrorCount: 1, retry\n"), 1u);
  EXPECT_EQ(countOf(log, "netErrorCount: 2"), 0u);
  EXPECT_EQ(countOf(log, "chunkId: 0, download failed\n"), 1u);
  EXPECT_EQ(countOf(log, "chunkId: 0, error: 7("), 3u);
  ASSERT_EQ(chunk.connects.size(), 1u);
  EXPECT_EQ(chunk.connects[0], std::make_pair(0, int64_t{0}));

  DownloadMetrics metrics;
  const ZPResponse response = HttpChunkClient::classify(chunk.state, &metrics);
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(response.extraErrorCode, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(metrics.error_code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(metrics.client_extra_error_code, CURLE_COULDNT_CONNECT);
}

TEST_F(HttpChunkClientTest, CutConnectionIsRetriedFromTheFirstMissingByte) {
  const auto body = patternBytes(100000, 12);
  Misbehaviour cut;
  cut.cutFirst = 1;
  cut.cutAfterBytes = 30000;
  server_.serve("/cut", body, cut);
  TestChunk chunk(server_.url("/cut"), 0, 0, 99999);
  run(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, 0);
  EXPECT_EQ(chunk.received, body);
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].range, "bytes=0-99999");
  EXPECT_EQ(seen[1].range, "bytes=30000-99999");
  EXPECT_EQ(chunk.state.history.serverErrorCount, 1);  // the cut answer had a status
}

// An answer without a single body byte is still an answer: a 200 of length 0 is an empty
// resource, judged like any other answer; a 416 states the length ("bytes */0") and is final.
TEST_F(HttpChunkClientTest, BodilessAnswersAreJudgedNotRetried) {
  for (bool ignoreRange : {true, false}) {
    SCOPED_TRACE(ignoreRange ? "200 with length 0" : "416");
    Misbehaviour misbehaviour;
    misbehaviour.ignoreRange = ignoreRange;
    server_.serve("/empty", {}, misbehaviour);
    server_.clearRequests();
    TestChunk chunk(server_.url("/empty"), 0, 0, 999);
    run(chunk);
    EXPECT_EQ(server_.requestCount(), 1u);
    if (ignoreRange) {
      EXPECT_EQ(chunk.state.outcome.errorCode, 0);
      EXPECT_EQ(chunk.state.outcome.httpCode, 200);
      EXPECT_TRUE(chunk.state.answer.totalLengthKnown);
      EXPECT_EQ(chunk.state.answer.contentLength, 0);
    } else {
      EXPECT_EQ(chunk.state.outcome.finalStatus, 416);
      EXPECT_EQ(chunk.state.answer.contentRangeTotal, 0);
    }
  }
}

TEST_F(HttpChunkClientTest, SlowServerTimesOutAsNetworkFailure) {
  Misbehaviour slow;
  slow.delayMs = 5000;
  server_.serve("/slow", patternBytes(1000, 22), slow);
  policy_.timeoutMs = 300;
  TestChunk chunk(server_.url("/slow"), 0, 0, 999);
  run(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(chunk.state.history.netErrorCount, 2);
  EXPECT_EQ(server_.requestCount(), 3u);
  EXPECT_EQ(HttpChunkClient::classify(chunk.state, nullptr).errorCode,
            ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
}

// --- Alternative hosts --------------------------------------------------------------------------

// A failing chunk moves from host to host, each with fresh retry counters, keeping path and query.
// The host libcurl cannot parse ends its attempts before any connection, which leaves libcurl's
// handle refusing later attempts' options; the host after it is reached all the same.
TEST_F(HttpChunkClientTest, FailingChunkSwitchesToEachAlternativeHostWithFreshCounters) {
  TestHttpServer hostB;
  TestHttpServer hostC;
  ASSERT_TRUE(hostB.started());
  ASSERT_TRUE(hostC.started());
  const auto body = patternBytes(40000, 13);
  Misbehaviour broken;
  broken.failFirst = 100;
  broken.failStatus = 503;
  server_.serve("/data", body, broken);
  hostB.serve("/data", body, broken);
  hostC.serve("/data", body);
  policy_.domainMap[server_.host()] = {hostB.host(), "bad host", hostC.host()};
  TestChunk chunk(server_.url("/data?v=1"), 5, 0, 39999);
  const std::string log = runLogged(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, 0) << chunk.state.outcome.errorMsg;
  EXPECT_EQ(chunk.received, body);
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(hostB.requestCount(), 2u);
  ASSERT_EQ(hostC.requestCount(), 1u);
  EXPECT_EQ(hostC.requests()[0].target, "/data?v=1");  // path and query kept
  EXPECT_EQ(chunk.state.history.domainIndex, 2);
  EXPECT_EQ(chunk.state.stats.domains.size(), 4u);
  const size_t toB = log.find("chunkId: 5, change domain to: " + hostB.host() + ", retry\n");
  const size_t toC = log.find("chunkId: 5, change domain to: " + hostC.host() + ", retry\n");
  ASSERT_NE(toB, std::string::npos);
  ASSERT_NE(toC, std::string::npos);
  EXPECT_LT(toB, toC);
  EXPECT_EQ(countOf(log, "chunkId: 5, serverErrorCount: 0, retry\n"), 2u);
}

// The authority ends where libcurl ends it, and only a real scheme starts one: a move keeps the
// query, and text that merely contains "://" names no host.
TEST_F(HttpChunkClientTest, HostOfAndWithHostFindTheAuthorityAsLibcurlDoes) {
  struct Case {
    const char* url;
    const char* host;   // what hostOf returns
    const char* moved;  // withHost(url, "b:81")
  };
  const Case cases[] = {
      {"http://a.example:8080/x/y", "a.example:8080", "http://b:81/x/y"},
      {"http://ht/x/ht", "ht", "http://b:81/x/ht"},
      {"https://a.example", "a.example", "https://b:81"},
      {"HTTP://Host/", "Host", "HTTP://b:81/"},
      {"https://user@Host?q=1", "user@Host", "https://b:81?q=1"},
      {"http://h#frag/x", "h", "http://b:81#frag/x"},
      {"ftp://h://x/y", "h:", "ftp://b:81//x/y"},
      {"http://", "", "http://b:81"},
      {"http:/evil.example/x://good.example/", "", "http:/evil.example/x://good.example/"},
      {"://h/x", "", "://h/x"},
      {"1http://h/x", "", "1http://h/x"},
      {"no scheme", "", "no scheme"},
      {"host/path", "", "host/path"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HttpChunkClient::hostOf(c.url), c.host) << c.url;
    EXPECT_EQ(HttpChunkClient::withHost(c.url, "b:81"), c.moved) << c.url;
  }
}

// --- Cancellation -------------------------------------------------------------------------------

TEST_F(HttpChunkClientTest, CancelWhileQueuedEndsWithoutTransfer) {
  server_.serve("/first", patternBytes(1000, 14));
  server_.serve("/second", patternBytes(1000, 15));
  std::promise<void> release;
  TestChunk blocker(server_.url("/first"), 0, 0, 999);
  blocker.gate = release.get_future().share();
  TestChunk queued(server_.url("/second"), 1, 0, 999);
  {
    HttpChunkClient client(policy_, 1);
    client.submit(blocker.request, blocker.state);
    ASSERT_TRUE(server_.waitForRequests(1, 10000));  // the only worker is busy with blocker
    client.submit(queued.request, queued.state);
    client.cancel(queued.request);
    release.set_value();
    ASSERT_TRUE(queued.waitDone());
    ASSERT_TRUE(blocker.waitDone());
  }
  ASSERT_EQ(queued.connects.size(), 1u);
  EXPECT_EQ(queued.connects[0], std::make_pair(0, int64_t{0}));
  EXPECT_TRUE(queued.received.empty());
  EXPECT_EQ(queued.state.outcome.errorCode, 0);
  for (const auto& seen : server_.requests()) EXPECT_EQ(seen.target, "/first");
  EXPECT_EQ(blocker.state.outcome.errorCode, 0);
}

TEST_F(HttpChunkClientTest, CancelDuringTransferAbortsItAndLogsCancelled) {
  Misbehaviour stalling;
  stalling.stallAfterBytes = 20000;
  stalling.stallMs = 10000;
  server_.serve("/slow", patternBytes(100000, 16), stalling);
  TestChunk chunk(server_.url("/slow"), 7, 0, 99999);
  startCapture();
  {
    HttpChunkClient client(policy_, 2);
    client.submit(chunk.request, chunk.state);
    ASSERT_EQ(chunk.firstBytes.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    client.cancel(chunk.request);
    // Well before the stall ends, the progress callback has aborted the transfer.
    ASSERT_EQ(chunk.state.doneFuture.wait_for(std::chrono::seconds(8)), std::future_status::ready);
  }
  const std::string log = stopCapture();

  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(countOf(log, "chunkId: 7, cancelled\n"), 1u);
  EXPECT_EQ(countOf(log, "retry"), 0u);
  // Every byte that arrived before the cancellation is stored, none after it.
  EXPECT_EQ(chunk.received, slice(patternBytes(100000, 16), 0, 19999));
  EXPECT_EQ(chunk.connects.size(), 1u);  // connected: no (0, 0) call on top
  EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(HttpChunkClientTest, CancelEndsAWaitForTheAnswer) {
  Misbehaviour silent;
  silent.delayMs = 10000;
  server_.serve("/silent", patternBytes(1000, 28), silent);
  policy_.stallTimeoutMs = 0;  // no limit: only the cancellation ends the wait
  TestChunk chunk(server_.url("/silent"), 0, 0, 999);
  startCapture();
  {
    HttpChunkClient client(policy_, 1);
    client.submit(chunk.request, chunk.state);
    ASSERT_TRUE(server_.waitForRequests(1, 10000));
    client.cancel(chunk.request);
    // Well before the server would answer.
    ASSERT_EQ(chunk.state.doneFuture.wait_for(std::chrono::seconds(8)), std::future_status::ready);
  }
  const std::string log = stopCapture();

  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(countOf(log, "chunkId: 0, cancelled\n"), 1u);
  EXPECT_EQ(countOf(log, "retry"), 0u);
  ASSERT_EQ(chunk.connects.size(), 1u);
  EXPECT_EQ(chunk.connects[0], std::make_pair(0, int64_t{0}));
}

// --- Lengths ------------------------------------------------------------------------------------

TEST_F(HttpChunkClientTest, ContentRangeHeaderGivesTheWholeLength) {
  server_.serve("/file", patternBytes(5000, 17));
  TestChunk chunk(server_.url("/file"), 0, 100, 199);
  run(chunk);

  EXPECT_EQ(chunk.state.stats.headers.at("content-range"), "bytes 100-199/5000");
  EXPECT_EQ(chunk.state.stats.headers.at("content-type"), "application/octet-stream");
  for (const auto& [name, value] : chunk.state.stats.headers) {
    EXPECT_NE(name.rfind("http/", 0), 0u) << "status line stored as " << name;
  }
  EXPECT_EQ(chunk.state.answer.contentLength, 5000);
  EXPECT_EQ(chunk.state.answer.contentRangeTotal, 5000);
  EXPECT_EQ(chunk.state.answer.bodyLength, 100);
  EXPECT_EQ(chunk.connects.at(0).second, 5000);
}

TEST_F(HttpChunkClientTest, UnknownTotalFallsBackToTheBodyLengthAndSaysSo) {
  const auto body = patternBytes(5000, 18);
  Misbehaviour starTotal;
  starTotal.unknownTotal = true;
  server_.serve("/star", body, starTotal);
  TestChunk chunk(server_.url("/star"), 0, 100, 199);
  const std::string log = runLogged(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, 0);
  EXPECT_EQ(chunk.received, slice(body, 100, 199));
  EXPECT_TRUE(chunk.state.answer.contentRangeTotalUnknown);
  EXPECT_FALSE(chunk.state.answer.totalLengthKnown);
  EXPECT_EQ(chunk.state.answer.contentLength, 100);
  EXPECT_TRUE(chunk.state.answer.rangeHonoured);
  EXPECT_NE(log.find("total contentLength: 100\n"), std::string::npos);
}

TEST_F(HttpChunkClientTest, BodiesWithoutLengthArriveWholeWithLengthUnknown) {
  for (const BodyFraming framing : {BodyFraming::kCloseDelimited, BodyFraming::kChunked}) {
    const auto body = patternBytes(90000, 19);
    Misbehaviour unframed;
    unframed.framing = framing;
    unframed.ignoreRange = true;
    server_.serve("/stream", body, unframed);
    TestChunk chunk(server_.url("/stream"), 0, 0, -1);
    run(chunk);

    EXPECT_EQ(chunk.state.outcome.errorCode, 0);
    EXPECT_EQ(chunk.received, body);
    EXPECT_EQ(chunk.state.outcome.httpCode, 200);
    EXPECT_EQ(chunk.state.answer.contentLength, -1);
    EXPECT_FALSE(chunk.state.answer.totalLengthKnown);
  }
}

// --- Bounded waits ------------------------------------------------------------------------------

// A server that takes the connection and then says nothing, be it while the client waits for
// the answer or for the TLS handshake (an https URL on a plain server, which waits for a request
// head that never comes).
TEST_F(HttpChunkClientTest, SilentServerIsAStallRetriedAsNetworkFailure) {
  Misbehaviour silent;
  silent.delayMs = 10000;
  server_.serve("/silent", patternBytes(1000, 23), silent);
  policy_.stallTimeoutMs = 300;
  policy_.connectTimeoutMs = 20000;
  for (const bool handshake : {false, true}) {
    SCOPED_TRACE(handshake ? "handshake" : "answer");
    server_.clearRequests();
    std::string url = server_.url("/silent");
    if (handshake) url.replace(0, 4, "https");
    TestChunk chunk(url, 0, 0, 999);
    run(chunk);

    EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_OPERATION_TIMEDOUT);
    EXPECT_NE(chunk.state.outcome.errorMsg.find("no byte received for 300 ms"), std::string::npos)
        << chunk.state.outcome.errorMsg;
    EXPECT_EQ(chunk.state.outcome.httpCode, 0);
    EXPECT_EQ(chunk.state.history.netErrorCount, 2);
    EXPECT_EQ(server_.requestCount(), handshake ? 0u : 3u);
    const ZPResponse response = HttpChunkClient::classify(chunk.state, nullptr);
    EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
    EXPECT_EQ(response.extraErrorCode, CURLE_OPERATION_TIMEDOUT);
  }
}

// A stall inside a body ends the attempt; the retry asks for the bytes after the ones stored.
TEST_F(HttpChunkClientTest, StallInsideABodyIsRetriedFromTheFirstMissingByte) {
  const auto body = patternBytes(100000, 24);
  Misbehaviour stalling;
  stalling.stallAfterBytes = 20000;  // every answer
  stalling.stallMs = 10000;
  server_.serve("/stalls", body, stalling);
  policy_.stallTimeoutMs = 300;
  TestChunk chunk(server_.url("/stalls"), 0, 0, 99999);
  run(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(chunk.received, slice(body, 0, 39999));
  const auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);  // one server-kind retry: the answer had a status
  EXPECT_EQ(seen[1].range, "bytes=20000-99999");
  EXPECT_EQ(HttpChunkClient::classify(chunk.state, nullptr).errorCode,
            ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
}

// Each pause is well below the stall time, together they are above it: only a wait without any
// byte counts.
TEST_F(HttpChunkClientTest, SlowButSteadyAnswerIsNotAStall) {
  const auto body = patternBytes(60000, 25);
  Misbehaviour slow;
  slow.delayMs = 1500;
  slow.stallAfterBytes = 20000;
  slow.stallMs = 1500;
  server_.serve("/slow", body, slow);
  policy_.stallTimeoutMs = 2500;
  TestChunk chunk(server_.url("/slow"), 0, 0, 59999);
  run(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, 0) << chunk.state.outcome.errorMsg;
  EXPECT_EQ(chunk.received, body);
  EXPECT_EQ(server_.requestCount(), 1u);
}

// A 206 of unstated length that runs past its own Content-Range: the bytes inside the range are
// kept, the ones after it (of no stated place) never reach the writer.
TEST_F(HttpChunkClientTest, PartRunningPastItsContentRangeEndsAtItsEnd) {
  const auto body = patternBytes(300, 27);
  httplib::Server canned;
  canned.Get("/part", [&body](const httplib::Request&, httplib::Response& response) {
    response.status = 206;
    response.set_header("Content-Range", "bytes 0-99/300");
    response.set_chunked_content_provider(
        "application/octet-stream", [&body](size_t, httplib::DataSink& sink) {
          sink.write(reinterpret_cast<const char*>(body.data()), 200);
          sink.done();
          return true;
        });
  });
  const HttplibRunner runner(canned);
  ASSERT_TRUE(runner.running());
  policy_.serverErrorRetryCount = 0;
  TestChunk chunk(runner.url("/part"), 0, 0, -1);
  chunk.request.rangeProvider = [] { return std::string(); };  // lets the canned 206 through
  run(chunk);

  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_WEIRD_SERVER_REPLY) << chunk.state.outcome.errorMsg;
  EXPECT_TRUE(chunk.state.answer.rangeHonoured);
  EXPECT_FALSE(chunk.state.history.writeFailed);
  EXPECT_EQ(chunk.received, slice(body, 0, 99));
}

// A chain of hops /hop0 -> /hop1 -> ... -> /hop<hops> -> /data.
struct RedirectCase {
  const char* name;
  int maxRedirects;
  int hops;         // redirects before the data; -1: /hop0 redirects to itself forever
  bool delivered;   // else the chunk fails with libcurl's too-many-redirects code
  size_t requests;  // seen by the server, over every attempt
};

class RedirectTest : public HttpChunkClientTest,
                     public testing::WithParamInterface<RedirectCase> {};

TEST_P(RedirectTest, FollowsAtMostTheAllowedRedirects) {
  const RedirectCase& redirects = GetParam();
  const auto body = patternBytes(3000, 26);
  server_.serve("/data", body);
  for (int hop = 0; hop <= std::max(0, redirects.hops - 1); ++hop) {
    Misbehaviour redirecting;
    redirecting.redirectTo = "/data";
    if (redirects.hops < 0) redirecting.redirectTo = "/hop0";
    if (hop + 1 < redirects.hops) redirecting.redirectTo = "/hop" + std::to_string(hop + 1);
    server_.serve("/hop" + std::to_string(hop), {}, redirecting);
  }
  policy_.maxRedirects = redirects.maxRedirects;
  policy_.netErrorRetryCount = 1;
  TestChunk chunk(server_.url("/hop0"), 0, 0, 2999);
  run(chunk);

  EXPECT_EQ(server_.requestCount(), redirects.requests);
  if (redirects.delivered) {
    EXPECT_EQ(chunk.state.outcome.errorCode, 0) << chunk.state.outcome.errorMsg;
    EXPECT_EQ(chunk.received, body);
    return;
  }
  EXPECT_TRUE(chunk.received.empty());
  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_TOO_MANY_REDIRECTS);
  EXPECT_NE(chunk.state.outcome.errorMsg.find("Maximum (" + std::to_string(redirects.maxRedirects) +
                                      ") redirects followed"),
            std::string::npos)
      << chunk.state.outcome.errorMsg;
  const ZPResponse response = HttpChunkClient::classify(chunk.state, nullptr);
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(response.extraErrorCode, CURLE_TOO_MANY_REDIRECTS);
}

// With one network-kind retry, a failing chain is walked twice: (limit + 1) answers each time.
const RedirectCase kRedirects[] = {
    {"LoopEndsAtTheDefaultLimit", 20, -1, false, 2 * 21},
    {"LoopEndsAtASmallLimit", 3, -1, false, 2 * 4},
    {"NoRedirectAllowed", 0, 1, false, 2 * 1},
    {"ChainWithinTheLimit", 3, 3, true, 3 + 1},
    {"LongChainWithoutLimit", -1, 25, true, 25 + 1},
};

INSTANTIATE_TEST_SUITE_P(Chains, RedirectTest, testing::ValuesIn(kRedirects),
                         [](const testing::TestParamInfo<RedirectCase>& info) {
                           return std::string(info.param.name);
                         });

// --- TLS trust ----------------------------------------------------------------------------------

enum class Trust {
  kSystemStore,         // the policy's default
  kAuthorityFile,       // caCertificatePath: the test authority's PEM file
  kAuthorityDirectory,  // caCertificatePath: a directory holding it under its hashed name
  kOtherAuthority,      // caCertificatePath: another authority's PEM file
  kVerificationOff,     // verifyTls false
};

struct TlsCase {
  const char* name;
  Trust trust;
  const char* certifiedName;  // the server certificate's subject alternative name
  bool accepted;
};

class TlsTrustTest : public HttpChunkClientTest, public testing::WithParamInterface<TlsCase> {};

TEST_P(TlsTrustTest, PeerIsVerifiedAsThePolicySays) {
  if (!test::tlsTestServersAvailable()) {
    GTEST_SKIP() << "no TLS test server in this build (the Windows tests go without OpenSSL; "
                    "tests/windows/schannel_https_test covers Schannel)";
  }
  const TlsCase& tls = GetParam();
  test::TempDir directory;
  ASSERT_FALSE(directory.path().empty());
  test::TestCertificateAuthority authority;
  test::TestCertificateAuthority other;
  ASSERT_TRUE(authority.ok()) << authority.errorMsg();
  ASSERT_TRUE(other.ok()) << other.errorMsg();
  std::string error;
  ASSERT_TRUE(authority.issueServerCertificate(tls.certifiedName, directory.file("server.pem"),
                                               directory.file("server.key"), &error))
      << error;
  ASSERT_TRUE(authority.writeCertificate(directory.file("authority.pem"), &error)) << error;
  ASSERT_TRUE(other.writeCertificate(directory.file("other.pem"), &error)) << error;
  ASSERT_TRUE(std::filesystem::create_directory(directory.file("trusted")));
  ASSERT_TRUE(authority.writeHashedCertificate(directory.file("trusted"), &error)) << error;
  switch (tls.trust) {
    case Trust::kSystemStore:
      break;
    case Trust::kAuthorityFile:
      policy_.caCertificatePath = directory.file("authority.pem");
      break;
    case Trust::kAuthorityDirectory:
      policy_.caCertificatePath = directory.file("trusted");
      break;
    case Trust::kOtherAuthority:
      policy_.caCertificatePath = directory.file("other.pem");
      break;
    case Trust::kVerificationOff:
      policy_.verifyTls = false;
      break;
  }
  test::TestHttpsServer secure(directory.file("server.pem"), directory.file("server.key"));
  ASSERT_TRUE(secure.started()) << secure.errorMsg();
  const auto body = patternBytes(60000, 20);
  secure.serve("/secure", body);
  TestChunk chunk(secure.url("/secure"), 0, 10, 40009);
  const std::string log = runLogged(chunk);

  if (tls.accepted) {
    EXPECT_EQ(chunk.state.outcome.errorCode, 0) << chunk.state.outcome.errorMsg;
    EXPECT_EQ(chunk.state.outcome.httpCode, 206);
    EXPECT_EQ(chunk.received, slice(body, 10, 40009));
    ASSERT_TRUE(secure.waitForRequests(1, 10000));
    EXPECT_EQ(secure.requests().at(0).range, "bytes=10-40009");
    return;
  }
  // Refused during the handshake: no request was sent, no byte taken.
  EXPECT_TRUE(chunk.received.empty());
  EXPECT_TRUE(secure.requests().empty());
  EXPECT_EQ(chunk.state.outcome.errorCode, CURLE_PEER_FAILED_VERIFICATION) << chunk.state.outcome.errorMsg;
  // libcurl's own account of the refusal, not only the name of its code.
  EXPECT_NE(chunk.state.outcome.errorMsg, curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
  EXPECT_NE(chunk.state.outcome.errorMsg.find("certificate"), std::string::npos) << chunk.state.outcome.errorMsg;
  EXPECT_EQ(countOf(log, "chunkId: 0, error: 60("), 3u);  // the first try and two retries
  EXPECT_EQ(countOf(log, "chunkId: 0, netErrorCount: 1, retry\n"), 1u);
  EXPECT_EQ(countOf(log, "chunkId: 0, download failed\n"), 1u);
  const ZPResponse response = HttpChunkClient::classify(chunk.state, nullptr);
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(response.extraErrorCode, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(response.errorMsg, chunk.state.outcome.errorMsg);
}

const TlsCase kTlsCases[] = {
    {"UnknownAuthorityRefusedByDefault", Trust::kSystemStore, "IP:127.0.0.1", false},
    {"AuthorityFileTrusted", Trust::kAuthorityFile, "IP:127.0.0.1", true},
    {"AuthorityDirectoryTrusted", Trust::kAuthorityDirectory, "IP:127.0.0.1", true},
    {"OtherAuthorityRefused", Trust::kOtherAuthority, "IP:127.0.0.1", false},
    {"OtherNameRefusedFromATrustedAuthority", Trust::kAuthorityFile, "DNS:elsewhere.invalid",
     false},
    {"AnythingAcceptedWithVerificationOff", Trust::kVerificationOff, "DNS:elsewhere.invalid", true},
};

INSTANTIATE_TEST_SUITE_P(Trusts, TlsTrustTest, testing::ValuesIn(kTlsCases),
                         [](const testing::TestParamInfo<TlsCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Parallel chunks ----------------------------------------------------------------------------

TEST_F(HttpChunkClientTest, ParallelChunksEachReceiveTheirOwnRange) {
  constexpr int kChunks = 16;
  constexpr int64_t kChunkBytes = 65536;
  const auto body = patternBytes(kChunks * kChunkBytes, 21);
  server_.serve("/big", body);
  std::vector<std::unique_ptr<TestChunk>> chunks;
  chunks.reserve(kChunks);
  for (int i = 0; i < kChunks; ++i) {
    chunks.push_back(std::make_unique<TestChunk>(server_.url("/big"), i, i * kChunkBytes,
                                                 (i + 1) * kChunkBytes - 1));
  }
  {
    HttpChunkClient client(policy_, 4);
    for (auto& chunk : chunks) client.submit(chunk->request, chunk->state);
    for (auto& chunk : chunks) ASSERT_TRUE(chunk->waitDone());
  }
  for (int i = 0; i < kChunks; ++i) {
    EXPECT_EQ(chunks[i]->state.outcome.errorCode, 0) << "chunk " << i;
    EXPECT_EQ(chunks[i]->received, slice(body, static_cast<size_t>(i * kChunkBytes),
                                         static_cast<size_t>((i + 1) * kChunkBytes - 1)))
        << "chunk " << i;
  }
  EXPECT_EQ(server_.requestCount(), static_cast<size_t>(kChunks));
}

}  // namespace
}  // namespace zephyl
