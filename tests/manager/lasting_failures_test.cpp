// Failures that no repeat can change end a download at once when the policy says so
// (repeatLastingFailures = false), each told by its cause; by default every failure goes through
// the retry rules. A server's Retry-After is waited for instead of asked again at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;

class LastingFailuresTest : public testing::TestWithParam<bool>,
                            protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    // The description's rules: one same-host retry of a range, two attempts.
    settings_.httpPolicy.serverErrorRetryCount = 1;
    settings_.httpPolicy.executeRetryCount = 1;
    settings_.httpPolicy.repeatLastingFailures = GetParam();
  }
  bool repeats() const { return GetParam(); }
};

TEST_P(LastingFailuresTest, NotFoundFailsAtOnceUnlessEveryFailureIsRepeated) {
  const ZPResponse response = download(ZPRequest(server_.url("/missing")));
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_SERVER_ERROR);
  EXPECT_EQ(response.httpCode, 404);
  EXPECT_EQ(response.cause, ZPResponse::CAUSE_SERVER_STATUS);
  // Two tries of the range in each of two attempts, or the one request.
  EXPECT_EQ(server_.requestCount(), repeats() ? 4u : 1u);
}

TEST_P(LastingFailuresTest, ServerErrorsAreRepeatedEitherWay) {
  Misbehaviour failing;
  failing.failFirst = 1000;
  server_.serve("/busy", patternBytes(100), failing);
  const ZPResponse response = download(ZPRequest(server_.url("/busy")));
  EXPECT_EQ(response.httpCode, 500);
  EXPECT_EQ(server_.requestCount(), 4u);
}

TEST_P(LastingFailuresTest, RedirectLoopEndsAtTheBoundAndSaysSo) {
  settings_.httpPolicy.maxRedirects = 3;
  Misbehaviour loop;
  loop.redirectTo = server_.url("/loop");
  server_.serve("/loop", patternBytes(10), loop);
  const ZPResponse response = download(ZPRequest(server_.url("/loop")));
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(response.cause, ZPResponse::CAUSE_TOO_MANY_REDIRECTS);
  EXPECT_STREQ(ZPResponse::causeText(response.cause), "too many redirects");
  // The request and its three redirects, once, or in each of the three tries (a failure
  // without a status) of both attempts.
  EXPECT_EQ(server_.requestCount(), repeats() ? 24u : 4u);
}

TEST_P(LastingFailuresTest, NameThatDoesNotExistIsTheHostsCause) {
  const ZPResponse response = download(ZPRequest("http://no-such-host.invalid/a.bin"));
  EXPECT_EQ(response.errorCode, ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(response.cause, ZPResponse::CAUSE_HOST_NOT_FOUND);
}

TEST_P(LastingFailuresTest, RefusedConnectionIsNotAServerStatus) {
  const ZPResponse response = download(ZPRequest("http://127.0.0.1:1/a.bin"));
  EXPECT_EQ(response.cause, ZPResponse::CAUSE_CONNECTION_REFUSED);
}

INSTANTIATE_TEST_SUITE_P(Policy, LastingFailuresTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "RepeatAll" : "FailLastingAtOnce");
                         });

class RetryAfterTest : public testing::Test, protected zephyl::test::LoopbackDownload {};

// The range is not asked again at once: the download is repeated after the second it asked for.
TEST_F(RetryAfterTest, UnavailableServerIsAskedAgainAfterWhatItSays) {
  ASSERT_TRUE(server_.started());
  settings_.httpPolicy.repeatLastingFailures = false;
  settings_.httpPolicy.executeRetryCount = 1;
  Misbehaviour busy;
  busy.failFirst = 1;
  busy.failStatus = 503;
  busy.retryAfter = "1";
  const auto body = patternBytes(1000);
  server_.serve("/later", body, busy);
  ZPRequest request(server_.url("/later"));
  request.outputType = ZPRequest::OUTPUT_MEMORY;
  const auto start = std::chrono::steady_clock::now();
  ZPResponse response = download(request);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(response.isSuccess()) << response.errorMsg;
  EXPECT_EQ(*response.getData(), body);
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_GE(waited, std::chrono::milliseconds(900));
}

}  // namespace
