// A run's segments as its worker asks for them, against a memory writer planned in 1 KiB
// chunks: one chunk before a rate is known, four times the last one at most, at most half the run
// beside other transfers, never a cut inside what was asked, and received bytes stored along the
// run up to its end.
#include "engine/run_segments.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "sinks/memory_data_writer.h"

namespace zephyl {
namespace {

constexpr int64_t kBlock = 1024;
constexpr int32_t kChunks = 16;

class RunSegmentsTest : public testing::Test {
 protected:
  void SetUp() override {
    writer_.firstChunk();
    const Status set = writer_.setContentLength(kBlock * kChunks);
    ASSERT_TRUE(set.isOk()) << set.message();
    ChunkInfo chunk;
    for (int32_t id = 0; id + 1 < kChunks; ++id) ASSERT_TRUE(writer_.nextChunk(id, &chunk));
    setRun(0, kChunks - 1);
  }

  void setRun(int32_t first, int32_t last) {
    MutexLock lock(run_.runMutex);
    run_.writerChunkId = first;
    run_.lastChunkId = last;
  }

  // The run's transfer answered 100 ms ago, was past its first burst at once, and has received
  // bytes up to receivedUpTo since.
  void answeredWith(int64_t receivedUpTo) {
    run_.pace.answeredFrom = 0;
    run_.pace.answeredAtMs = nowMs() - 100;
    run_.pace.steadyFrom = 0;
    run_.pace.steadyAtMs = nowMs() - 100;
    run_.state.receivedUpTo = receivedUpTo;
  }

  MemoryDataWriter writer_{"key", kBlock};
  int progressCalls_ = 0;
  RunSegments segments_{writer_, nullptr, [this] { ++progressCalls_; }};
  PlannedRun run_;
};

TEST_F(RunSegmentsTest, SegmentIsOneChunkUntilTheTransferHasARate) {
  EXPECT_EQ(segments_.rangeOf(run_), "0-1023");
  MutexLock lock(run_.runMutex);
  EXPECT_EQ(segments_.firstUnrequestedChunk(run_), 1);
}

TEST_F(RunSegmentsTest, FastTransferSegmentsGrowFourfoldToTheRunAloneAndHalfOfItBesideOthers) {
  answeredWith(kBlock * kChunks);  // far more than the run in a segment's time
  // A rate told over the first segments may be a burst: a segment is four times the last at most.
  EXPECT_EQ(segments_.rangeOf(run_), "0-4095");
  EXPECT_EQ(segments_.rangeOf(run_), "0-16383");
  {
    MutexLock lock(run_.runMutex);
    EXPECT_EQ(segments_.firstUnrequestedChunk(run_), kChunks);  // nothing left to cut
  }
  segments_.setTransfersWanted(2);
  EXPECT_EQ(segments_.rangeOf(run_), "0-8191");
  MutexLock lock(run_.runMutex);
  EXPECT_EQ(segments_.firstUnrequestedChunk(run_), 8);
}

TEST_F(RunSegmentsTest, BytesPastTheRunEndTheTransferAsAFilledRange) {
  setRun(0, 1);
  std::vector<uint8_t> bytes(3 * kBlock, 7);
  EXPECT_FALSE(segments_.storeBytes(run_, static_cast<int32_t>(bytes.size()), bytes.data()));
  EXPECT_TRUE(run_.state.outcome.rangeFilled);
  EXPECT_FALSE(run_.state.history.writeFailed);
  EXPECT_EQ(run_.state.stats.downloadedSize, 2 * kBlock);
  EXPECT_EQ(writer_.downloadedLength(), 2 * kBlock);
  EXPECT_EQ(run_.writerChunkId.load(), 1);
  EXPECT_EQ(progressCalls_, 1);
  EXPECT_FALSE(segments_.hasMore(run_));
  // The next request of a run whose chunks are full starts past them.
  setRun(0, 2);
  EXPECT_TRUE(segments_.hasMore(run_));
  EXPECT_EQ(segments_.rangeOf(run_), "2048-3071");
}

}  // namespace
}  // namespace zephyl
