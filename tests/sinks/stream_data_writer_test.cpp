#include "sinks/stream_data_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "support/status_report.h"
#include "support/test_http_server.h"

namespace zephyl {
namespace {

constexpr int64_t kBlock = 1000;
constexpr int64_t kLimit = 1000;  // the reorder bound: one block

// A writer over four blocks whose receiver keeps what it is handed.
class StreamDataWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    ChunkInfo chunk = writer_.firstChunk();
    ASSERT_TRUE(test::reported(writer_.setContentLength(4 * kBlock), &code_, &message_));
    for (int id = 0; id < 3; ++id) ASSERT_TRUE(writer_.nextChunk(id, &chunk));
  }

  // Writes size bytes of source_ at chunk's current offset, which starts at from.
  bool put(int chunk, int64_t from, int size, int* code = nullptr) {
    return test::reported(writer_.write(chunk, size, source_.data() + from), code ? code : &code_,
                          &message_);
  }

  std::vector<unsigned char> source_ = test::patternBytes(4 * kBlock, 5);
  std::vector<unsigned char> received_;
  StreamDataWriter writer_{[this](const char* data, size_t size) {
                             received_.insert(received_.end(), data, data + size);
                             return true;
                           },
                           kBlock, nullptr, kLimit};
  int code_ = 0;
  std::string message_;
};

// Later blocks arrive first: they wait within the bound (a write that would pass it waits for
// the bytes before it), and everything reaches the receiver once, in order.
TEST_F(StreamDataWriterTest, ReordersWithinTheBoundAndHandsEveryByteOverInOrder) {
  ASSERT_TRUE(put(3, 3000, 600));
  std::future<bool> blocked = std::async(std::launch::async, [this] { return put(2, 2000, 600); });
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ASSERT_TRUE(put(0, 0, 1000));
  EXPECT_EQ(received_.size(), 1000u);
  ASSERT_TRUE(put(1, 1000, 1000));  // the blocked write's turn comes: it hands its bytes over
  ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(blocked.get());
  ASSERT_TRUE(put(2, 2600, 400));  // hands over the waiting block 3 head too
  ASSERT_TRUE(put(3, 3600, 400));
  EXPECT_TRUE(received_ == source_);
  EXPECT_LE(writer_.reorderHighWaterBytes(), kLimit);
  ZPResponse response;
  EXPECT_TRUE(test::reported(writer_.moveToSaveDir(ZPRequest(), &response), &code_, &message_))
      << message_;
  EXPECT_EQ(response.fileLength(), 4 * kBlock);
  EXPECT_FALSE(writer_.canStartOver());
}

TEST_F(StreamDataWriterTest, InterruptEndsAWaitForRoomWithoutTakingTheBytes) {
  ASSERT_TRUE(put(3, 3000, 900));
  int code = 0;
  std::future<bool> blocked =
      std::async(std::launch::async, [this, &code] { return put(2, 2000, 500, &code); });
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  writer_.setWaitsInterrupted(true);
  ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(blocked.get());
  EXPECT_EQ(code, ZPResponse::DATA_WRITE_ERROR);
  EXPECT_EQ(writer_.chunkAt(2).current, 2000);  // the next attempt asks for them again
  EXPECT_TRUE(writer_.canStartOver());
}

}  // namespace
}  // namespace zephyl
