// A storage disk that fills under a download, on a small tmpfs of the test's own: the room the
// file writers take when the length becomes known, what a chunked download records when the disk
// is full, and a download larger than the disk. full_disk_download_test runs a whole download.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "sink_test_support.h"
#include "sinks/chunk_data_writer.h"
#include "sinks/file_data_writer.h"
#include "small_disk.h"
#include "storage/file_storage_manager.h"
#include "support/status_report.h"

namespace zephyl {
namespace {

using test::Bytes;

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kBlock = 256 * 1024;
constexpr char kKey[] = "0123456789abcdef0123456789abcdef";

int64_t frozenClock() { return 1000; }

// Every case on a 4 MiB disk, for the chunked and the single-file writer.
class FullDiskTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!disk_.mounted()) GTEST_SKIP() << disk_.reason();
    ASSERT_FALSE(save_.path().empty());
    storage_ = FileStorageManager::getInstance(disk_.path() + "/root", ZPCachePolicy());
  }

  std::unique_ptr<DataWriter> openWriter() {
    std::unique_ptr<DataWriter> writer;
    if (GetParam() == ZPRequest::OUTPUT_CHUNK_FILE) {
      auto chunked = std::make_unique<ChunkDataWriter>(kKey, storage_, save_.path(), kBlock);
      // No periodic save: what is recorded comes from close.
      chunked->setClock(frozenClock);
      writer = std::move(chunked);
    } else {
      writer = std::make_unique<FileDataWriter>(storage_, save_.path(), kKey);
    }
    EXPECT_TRUE(test::reported(writer->open(), &code_, &message_)) << message_;
    return writer;
  }

  test::SmallDisk disk_{4 * kMiB};
  test::TempDir save_;
  std::shared_ptr<FileStorageManager> storage_;
  int code_ = 0;
  std::string message_;
};

TEST_P(FullDiskTest, DownloadLargerThanTheDiskFailsBeforeItsFirstByte) {
  std::unique_ptr<DataWriter> writer = openWriter();
  writer->firstChunk();
  EXPECT_FALSE(test::reported(writer->setContentLength(8 * kMiB), &code_, &message_));
  EXPECT_EQ(code_, ENOSPC);
  EXPECT_NE(message_.find("no room on the storage disk for 8388608 bytes"), std::string::npos)
      << message_;
  EXPECT_EQ(writer->downloadedLength(), 0);
  writer->close();
}

// The disk fills after the length is known (another program, say): every byte still fits, in the
// room the writer took, and the download is delivered whole.
TEST_P(FullDiskTest, RoomTakenAtTheLengthOutlastsADiskFilledByOthers) {
  std::unique_ptr<DataWriter> writer = openWriter();
  const ChunkInfo first = writer->firstChunk();
  Bytes source = test::patternBytes(static_cast<size_t>(2 * kMiB));
  ASSERT_TRUE(test::reported(writer->setContentLength(2 * kMiB), &code_, &message_)) << message_;
  ASSERT_TRUE(disk_.fill());
  std::vector<ChunkInfo> chunks{writer->chunkAt(first.chunkId)};
  for (const ChunkInfo& chunk : test::unfinishedChunks(*writer, first.chunkId)) {
    chunks.push_back(chunk);
  }
  ASSERT_TRUE(test::fillChunks(*writer, chunks, source));
  ZPRequest request;
  request.savePath = save_.file("delivered");
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer->moveToSaveDir(request, &response), &code_, &message_))
      << message_;
  writer->close();
  EXPECT_TRUE(test::readBytes(response.getFile()) == source);
}

INSTANTIATE_TEST_SUITE_P(BothFileWriters, FullDiskTest,
                         testing::Values(ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == ZPRequest::OUTPUT_CHUNK_FILE ? "Chunked"
                                                                             : "SingleFile";
                         });

using FullDiskChunkedTest = FullDiskTest;

// The save of close needs a new progress file and a validator file on a disk that has no byte
// left: both were kept room for, so the next open resumes after what was stored.
TEST_P(FullDiskChunkedTest, CloseRecordsWhatWasStoredOnAFullDisk) {
  std::unique_ptr<DataWriter> writer = openWriter();
  const ChunkInfo first = writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(2 * kMiB), &code_, &message_)) << message_;
  writer->setValidator("\"v1\"");
  Bytes source = test::patternBytes(static_cast<size_t>(kBlock));
  ASSERT_TRUE(test::fillChunks(*writer, {writer->chunkAt(first.chunkId)}, source));
  ASSERT_TRUE(disk_.fill());
  writer->close();
  disk_.free();

  std::unique_ptr<DataWriter> resumed = openWriter();
  EXPECT_EQ(resumed->downloadedLength(), kBlock);
  EXPECT_EQ(resumed->contentLength(), 2 * kMiB);
  EXPECT_EQ(resumed->validator(), "\"v1\"");
  resumed->close();
}

INSTANTIATE_TEST_SUITE_P(ChunkedWriter, FullDiskChunkedTest,
                         testing::Values(ZPRequest::OUTPUT_CHUNK_FILE));

}  // namespace
}  // namespace zephyl
