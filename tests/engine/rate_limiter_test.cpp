// RateLimiter on a clock of the test's own: shared debt, the bucket's depth, changed limits.
#include "engine/rate_limiter.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zephyl {
namespace {

class RateLimiterTest : public testing::Test {
 protected:
  int64_t nowMicros_ = 1000000;
  RateLimiter limiter_{1000, [this] { return nowMicros_; }};
  void advanceMs(int64_t ms) { nowMicros_ += ms * 1000; }
};

TEST_F(RateLimiterTest, TransfersSharingTheBucketWaitOffTheirDebtTogether) {
  EXPECT_EQ(limiter_.waitMicros(), 0);  // a new limit starts from an empty bucket, not in debt
  limiter_.charge(500);                 // two transfers of one download take 500 bytes each
  limiter_.charge(500);
  EXPECT_EQ(limiter_.waitMicros(), 1000000);
  EXPECT_EQ(limiter_.holds(), 2);
  advanceMs(400);
  EXPECT_EQ(limiter_.waitMicros(), 600000);
  advanceMs(600);
  EXPECT_EQ(limiter_.waitMicros(), 0);
  // An idle spell earns a tenth of a second of the rate at most: the burst after it is small.
  advanceMs(10000);
  limiter_.charge(100);
  EXPECT_EQ(limiter_.waitMicros(), 0);
  limiter_.charge(1);
  EXPECT_EQ(limiter_.waitMicros(), 1000);
}

TEST_F(RateLimiterTest, ChangedLimitTakesEffectAtOnceAndForgivesOldDebt) {
  limiter_.charge(10000);  // ten seconds of debt at 1000 B/s
  EXPECT_EQ(limiter_.waitMicros(), 10000000);
  // Raised: the debt is paid at the new rate, and no more than its tenth of a second is kept.
  limiter_.setRate(1000000);
  EXPECT_EQ(limiter_.waitMicros(), 10000);
  // Lowered: what is left of the debt is capped at a tenth of a second of the new rate.
  limiter_.setRate(100);
  EXPECT_EQ(limiter_.waitMicros(), 100000);
  // Lifted: nothing waits and nothing is counted; a new limit then starts afresh.
  limiter_.setRate(0);
  EXPECT_FALSE(limiter_.limited());
  EXPECT_EQ(limiter_.waitMicros(), 0);
  limiter_.charge(1 << 30);
  EXPECT_EQ(limiter_.waitMicros(), 0);
  limiter_.setRate(2000);
  EXPECT_EQ(limiter_.waitMicros(), 0);
  limiter_.charge(20);
  EXPECT_EQ(limiter_.waitMicros(), 10000);
}

}  // namespace
}  // namespace zephyl
