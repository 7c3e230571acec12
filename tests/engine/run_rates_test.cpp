// A transfer's rate as splitting and stealing see it: counted from the end of its first burst
// (a pause after the first bytes, or the warm-up when the bytes never pause), and told only over
// several of the longest pauses since. The planner's looks are played with made-up times.
#include "engine/run_rates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "sinks/memory_data_writer.h"

namespace zephyl {
namespace {

constexpr int64_t kAnsweredAt = 10000;
constexpr int64_t kBurst = 1 << 20;

class RunRatesTest : public testing::Test {
 protected:
  void SetUp() override {
    runs_.push_back(std::make_unique<PlannedRun>());
    run().pace.answeredFrom = 0;
    run().pace.answeredAtMs = kAnsweredAt;
    rates_.setFirstAnswerMs(2);
  }

  PlannedRun& run() { return *runs_.front(); }

  // The planner looks at the run at atMs, when it has received bytes in all.
  void lookAt(int64_t atMs, int64_t bytes) {
    run().state.receivedUpTo = bytes;
    rates_.track(runs_, atMs);
  }

  MemoryDataWriter writer_{"key", 1024};
  RunRates rates_{writer_};
  RunList runs_;
};

TEST_F(RunRatesTest, BurstBeforeAPauseIsNotCountedInTheRate) {
  // A server sends 1 MiB at once, then 100 KiB every 100 ms (1 KiB/ms).
  lookAt(kAnsweredAt, 0);
  lookAt(kAnsweredAt + 5, kBurst);
  lookAt(kAnsweredAt + 15, kBurst);
  EXPECT_EQ(run().pace.steadyAtMs.load(), 0) << "a pause of 10 ms is no pause yet";
  lookAt(kAnsweredAt + 30, kBurst);
  EXPECT_EQ(run().pace.steadyAtMs.load(), kAnsweredAt + 5) << "the burst ends with its last bytes";
  EXPECT_EQ(run().pace.steadyFrom.load(), kBurst);
  int64_t bytes = kBurst;
  for (int64_t at = kAnsweredAt + 105; at <= kAnsweredAt + 305; at += 100) {
    bytes += 100 * 1024;
    lookAt(at, bytes);
    // 100 ms pauses: 300 ms past the burst are too few to tell.
    EXPECT_EQ(RunRates::rateOf(run(), at, 50), 0) << at;
  }
  for (int64_t at = kAnsweredAt + 405; at <= kAnsweredAt + 805; at += 100) {
    bytes += 100 * 1024;
    lookAt(at, bytes);
  }
  const double rate = RunRates::rateOf(run(), kAnsweredAt + 805, 50);
  // Nine steps over 800 ms: a step's worth off at most; the burst would more than double it.
  EXPECT_NEAR(rate, 1024.0, 1024.0 / 4) << "the burst of 1 MiB counted";
}

TEST_F(RunRatesTest, BytesThatNeverPauseCountFromTheWarmUpOn) {
  // Slow start: the rate grows for 50 ms, then holds at 10 KiB/ms; looked at every 10 ms.
  int64_t bytes = 0;
  for (int64_t at = kAnsweredAt; at <= kAnsweredAt + 200; at += 10) {
    const int64_t since = at - kAnsweredAt;
    bytes += since < 50 ? since * 100 : 10 * 10240;
    lookAt(at, bytes);
    if (since < 50) {
      EXPECT_EQ(run().pace.steadyAtMs.load(), 0) << at;
    }
  }
  EXPECT_EQ(run().pace.steadyAtMs.load(), kAnsweredAt + 50);
  EXPECT_NEAR(RunRates::rateOf(run(), kAnsweredAt + 200, 50), 10240.0, 10240.0 / 10);
}

}  // namespace
}  // namespace zephyl
