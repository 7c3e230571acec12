// Which failures no repeat can change, and how long a server asks to be left alone.
#include "engine/lasting_failure.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

namespace zephyl {
namespace {

struct FailureKind {
  const char* name;
  int32_t finalStatus;
  int32_t errorCode;
  bool lasting;
};

class LastingFailureTest : public testing::TestWithParam<FailureKind> {};

TEST_P(LastingFailureTest, OnlyFailuresARepeatCannotChangeAreLasting) {
  EXPECT_EQ(isLastingFailure(GetParam().finalStatus, GetParam().errorCode), GetParam().lasting);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LastingFailureTest,
    testing::Values(FailureKind{"NotFound", 404, 1000, true},
                    FailureKind{"Forbidden", 403, 1000, true},
                    FailureKind{"Gone", 410, 1000, true},
                    FailureKind{"RequestTimeout", 408, 1000, false},
                    FailureKind{"TooManyRequests", 429, 1000, false},
                    FailureKind{"ServerError", 500, 1000, false},
                    FailureKind{"Unavailable", 503, 1000, false},
                    FailureKind{"NoSuchName", 0, CURLE_COULDNT_RESOLVE_HOST, true},
                    FailureKind{"NoSuchProxyName", 0, CURLE_COULDNT_RESOLVE_PROXY, true},
                    FailureKind{"UntrustedCertificate", 0, CURLE_PEER_FAILED_VERIFICATION, true},
                    FailureKind{"RedirectLoop", 302, CURLE_TOO_MANY_REDIRECTS, true},
                    FailureKind{"Refused", 0, CURLE_COULDNT_CONNECT, false},
                    FailureKind{"ResolverTimeout", 0, CURLE_OPERATION_TIMEDOUT, false},
                    FailureKind{"ClosedEarly", 206, CURLE_PARTIAL_FILE, false}),
    [](const testing::TestParamInfo<FailureKind>& info) { return std::string(info.param.name); });

TEST(RetryAfterTest, SecondsAndDatesAreWaitedUpToTheBound) {
  const std::map<std::string, std::string> seconds{{"retry-after", "3"}};
  EXPECT_EQ(retryAfterMs(429, seconds, 0, 60000), 3000);
  EXPECT_EQ(retryAfterMs(503, seconds, 0, 60000), 3000);
  EXPECT_EQ(retryAfterMs(503, seconds, 0, 1000), 1000) << "the bound holds";
  EXPECT_EQ(retryAfterMs(500, seconds, 0, 60000), -1) << "only 429 and 503 ask for a pause";
  EXPECT_EQ(retryAfterMs(503, {{"retry-after", "99999999999999999999"}}, 0, 5000), 5000);
  // 784111777 is Sun, 06 Nov 1994 08:49:37 GMT.
  const std::map<std::string, std::string> date{{"retry-after", "Sun, 06 Nov 1994 08:49:37 GMT"}};
  EXPECT_EQ(retryAfterMs(503, date, 784111777 - 7, 60000), 7000);
  EXPECT_EQ(retryAfterMs(503, date, 784111777 + 7, 60000), 0) << "a date past is no pause";
  EXPECT_EQ(retryAfterMs(503, {{"retry-after", "soon"}}, 0, 60000), -1);
  EXPECT_EQ(retryAfterMs(503, {}, 0, 60000), -1);
}

}  // namespace
}  // namespace zephyl
