#include "sinks/memory_data_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "sink_test_support.h"
#include "support/status_report.h"

namespace zephyl {
namespace {

using test::Bytes;
using test::unfinishedChunks;

constexpr int64_t kMiB = 1048576;
constexpr int64_t kSmallBlock = 4096;

class MemoryDataWriterTest : public testing::Test {
 protected:
  // Runs a whole download of source through a fresh writer and returns what it delivers.
  static Bytes downloadThrough(int64_t blockSize, Bytes& source) {
    MemoryDataWriter writer("key", blockSize);
    int code = 0;
    std::string message;
    EXPECT_TRUE(test::reported(writer.open(), &code, &message));
    EXPECT_TRUE(test::completeDownload(writer, source));
    ZPResponse response;
    EXPECT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest("http://127.0.0.1/x"), &response),
                               &code, &message))
        << message;
    EXPECT_EQ(response.fileLength(), static_cast<int64_t>(source.size()));
    writer.close();
    return response.getData() ? *response.getData() : Bytes();
  }

  int code_ = 0;
  std::string message_;
};

TEST_F(MemoryDataWriterTest, StoresExactBytesForSizesAroundTheBlockSize) {
  for (int64_t size :
       {int64_t{1}, kSmallBlock - 1, kSmallBlock, kSmallBlock + 1, 3 * kSmallBlock + 77}) {
    SCOPED_TRACE(size);
    Bytes source = test::patternBytes(static_cast<size_t>(size));
    EXPECT_EQ(downloadThrough(kSmallBlock, source), source);
  }
}

TEST_F(MemoryDataWriterTest, PlansFiveMebibytesInTwoMebibyteBlocks) {
  MemoryDataWriter writer("key", 2 * kMiB);
  const ChunkInfo first = writer.firstChunk();
  EXPECT_EQ(first.end, 2 * kMiB);
  ASSERT_TRUE(test::reported(writer.setContentLength(5 * kMiB), &code_, &message_));
  test::planAll(writer);
  const std::vector<ChunkInfo> rest = unfinishedChunks(writer, 0);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].chunkId, 1);
  EXPECT_EQ(rest[0].start, 2 * kMiB);
  EXPECT_EQ(rest[0].end, 4 * kMiB);
  EXPECT_EQ(rest[1].chunkId, 2);
  EXPECT_EQ(rest[1].start, 4 * kMiB);
  EXPECT_EQ(rest[1].end, 5 * kMiB);
  EXPECT_EQ(writer.chunkAt(2).current, 4 * kMiB);
}

TEST_F(MemoryDataWriterTest, RefusesWritePastTheChunkEndWithoutStoringIt) {
  MemoryDataWriter writer("key", 64);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(200), &code_, &message_));
  test::planAll(writer);
  Bytes source = test::patternBytes(200);
  ASSERT_TRUE(test::reported(writer.write(0, 60, source.data()), &code_, &message_));
  EXPECT_FALSE(test::reported(writer.write(0, 10, source.data() + 60), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(writer.chunkAt(0).current, 60);
  EXPECT_EQ(writer.downloadedLength(), 60);
  // Chunk 1 starts at 64 and must not have received any of the refused bytes.
  ASSERT_TRUE(test::reported(writer.write(1, 64, source.data() + 64), &code_, &message_));
  ASSERT_TRUE(test::reported(writer.write(0, 4, source.data() + 60), &code_, &message_));
  ASSERT_TRUE(test::reported(writer.write(2, 64, source.data() + 128), &code_, &message_));
  ASSERT_TRUE(test::reported(writer.write(3, 8, source.data() + 192), &code_, &message_));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(*response.getData(), source);
}

TEST_F(MemoryDataWriterTest, RefusesWritePastTheBufferOfAShortResource) {
  MemoryDataWriter writer("key", kSmallBlock);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(10), &code_, &message_));
  test::planAll(writer);
  EXPECT_TRUE(unfinishedChunks(writer, 0).empty());
  EXPECT_EQ(writer.chunkAt(0).end, kSmallBlock);
  Bytes source = test::patternBytes(11);
  EXPECT_FALSE(test::reported(writer.write(0, 11, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(writer.downloadedLength(), 0);
}

TEST_F(MemoryDataWriterTest, RefusesWritesWithoutBufferOrWithInvalidIndex) {
  MemoryDataWriter writer("key", kSmallBlock);
  writer.firstChunk();
  Bytes source = test::patternBytes(10);
  EXPECT_FALSE(test::reported(writer.write(0, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  ASSERT_TRUE(test::reported(writer.setContentLength(10), &code_, &message_));
  test::planAll(writer);
  code_ = 0;
  EXPECT_FALSE(test::reported(writer.write(1, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  code_ = 0;
  EXPECT_FALSE(test::reported(writer.write(-1, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
}

TEST_F(MemoryDataWriterTest, UnknownLengthGrowsTheBufferWithTheBody) {
  MemoryDataWriter writer("key", kSmallBlock);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(-1), &code_, &message_)) << message_;
  EXPECT_EQ(writer.contentLength(), -1);
  EXPECT_TRUE(unfinishedChunks(writer, 0).empty());
  Bytes source = test::patternBytes(5 * kSmallBlock + 3);
  ASSERT_TRUE(test::fillChunks(writer, {writer.chunkAt(0)}, source));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_))
      << message_;
  EXPECT_EQ(response.fileLength(), static_cast<int64_t>(source.size()));
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_EQ(*response.getData(), source);
}

TEST_F(MemoryDataWriterTest, UnknownLengthIsRefusedOnceALengthIsKnown) {
  MemoryDataWriter writer("key", kSmallBlock);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(100), &code_, &message_));
  test::planAll(writer);
  EXPECT_FALSE(test::reported(writer.setContentLength(-1), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_EQ(message_, "contentLength unknown");
  EXPECT_EQ(writer.contentLength(), 100);
}

TEST_F(MemoryDataWriterTest, AbsurdLengthFailsWithCacheErrorInsteadOfCrashing) {
  MemoryDataWriter writer("key", kSmallBlock);
  writer.firstChunk();
  for (int64_t length : {std::numeric_limits<int64_t>::max(), int64_t{1} << 62}) {
    SCOPED_TRACE(length);
    code_ = 0;
    message_.clear();
    EXPECT_FALSE(test::reported(writer.setContentLength(length), &code_, &message_));
    EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
    EXPECT_NE(message_.find("too large"), std::string::npos) << message_;
    EXPECT_EQ(writer.contentLength(), 0);
  }
  // Nothing changed: a sane length still works.
  EXPECT_TRUE(test::reported(writer.setContentLength(100), &code_, &message_));
  EXPECT_EQ(writer.contentLength(), 100);
}

TEST_F(MemoryDataWriterTest, ChangedLengthIsRefusedUntilReset) {
  MemoryDataWriter writer("key", kSmallBlock);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(100), &code_, &message_));
  test::planAll(writer);
  Bytes stale = test::patternBytes(100, 9);
  ASSERT_TRUE(test::reported(writer.write(0, 50, stale.data()), &code_, &message_));
  EXPECT_FALSE(test::reported(writer.setContentLength(200), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_EQ(message_, "contentLength error: 200 100");
  EXPECT_TRUE(test::reported(writer.setContentLength(100), &code_, &message_));

  writer.reset();
  EXPECT_EQ(writer.contentLength(), 0);
  EXPECT_EQ(writer.downloadedLength(), 0);
  EXPECT_EQ(writer.firstChunk().end, kSmallBlock);
  ASSERT_TRUE(test::reported(writer.setContentLength(200), &code_, &message_));
  test::planAll(writer);
  Bytes source = test::patternBytes(200);
  ASSERT_TRUE(test::reported(writer.write(0, 200, source.data()), &code_, &message_));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(*response.getData(), source);
}

TEST_F(MemoryDataWriterTest, LaterAttemptSkipsFinishedChunks) {
  MemoryDataWriter writer("key", 64);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(192), &code_, &message_));
  test::planAll(writer);
  Bytes source = test::patternBytes(192);
  ASSERT_TRUE(test::reported(writer.write(0, 64, source.data()), &code_, &message_));
  ASSERT_TRUE(test::reported(writer.write(1, 10, source.data() + 64), &code_, &message_));
  // A failed attempt ends here; the next one must not fetch chunk 0 again.
  const ChunkInfo first = writer.firstChunk();
  EXPECT_EQ(first.chunkId, 1);
  EXPECT_EQ(first.current, 74);
  ASSERT_TRUE(test::reported(writer.setContentLength(192), &code_, &message_));
  test::planAll(writer);
  const std::vector<ChunkInfo> rest = unfinishedChunks(writer, first.chunkId);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].chunkId, 2);
  ASSERT_TRUE(test::fillChunks(writer, {first, rest[0]}, source));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(*response.getData(), source);
}

TEST_F(MemoryDataWriterTest, IncompleteDownloadIsNotDelivered) {
  MemoryDataWriter writer("key", 64);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(100), &code_, &message_));
  test::planAll(writer);
  Bytes source = test::patternBytes(100);
  ASSERT_TRUE(test::reported(writer.write(0, 64, source.data()), &code_, &message_));
  ZPResponse response;
  EXPECT_FALSE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_EQ(response.getData(), nullptr);
}

TEST_F(MemoryDataWriterTest, CoverWholeResourceMakesTheFirstChunkOwnEverything) {
  MemoryDataWriter writer("key", 64);
  writer.firstChunk();
  EXPECT_FALSE(writer.coverWholeResource(0));  // length not known yet
  ASSERT_TRUE(test::reported(writer.setContentLength(300), &code_, &message_));
  test::planAll(writer);
  EXPECT_FALSE(writer.coverWholeResource(1));  // does not start at byte 0
  EXPECT_FALSE(writer.coverWholeResource(7));  // no such chunk
  ASSERT_TRUE(writer.coverWholeResource(0));
  EXPECT_TRUE(unfinishedChunks(writer, 0).empty());
  const ChunkInfo whole = writer.chunkAt(0);
  EXPECT_EQ(whole.start, 0);
  EXPECT_EQ(whole.end, 300);
  Bytes source = test::patternBytes(300);
  ASSERT_TRUE(test::fillChunks(writer, {whole}, source));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(*response.getData(), source);
}

TEST_F(MemoryDataWriterTest, NonPositiveBlockSizeFallsBackToTheDefault) {
  for (int64_t blockSize : {int64_t{0}, int64_t{-5}}) {
    MemoryDataWriter writer("key", blockSize);
    EXPECT_EQ(writer.firstChunk().end, 2097152);
    ASSERT_TRUE(test::reported(writer.setContentLength(5 * kMiB), &code_, &message_));
    test::planAll(writer);
    EXPECT_EQ(unfinishedChunks(writer, 0).size(), 2u);
  }
}

TEST_F(MemoryDataWriterTest, ConcurrentChunkWritesAndProgressReads) {
  MemoryDataWriter writer("key", 1000);
  writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(8000), &code_, &message_));
  test::planAll(writer);
  Bytes source = test::patternBytes(8000);
  ASSERT_TRUE(test::writeChunksConcurrently(writer, source));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(*response.getData(), source);
}

}  // namespace
}  // namespace zephyl
