#include "sinks/file_data_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "sink_test_support.h"
#include "storage/file_storage_manager.h"
#include "support/status_report.h"

namespace zephyl {
namespace {

using test::Bytes;
namespace stdfs = std::filesystem;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";

// Every test has its own storage root, so that it gets a storage manager of its own (managers
// are process-wide per root).
class FileDataWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    storage_ = FileStorageManager::getInstance(dir_.path() + "/root", ZPCachePolicy());
  }

  std::unique_ptr<FileDataWriter> openWriter() {
    auto writer = std::make_unique<FileDataWriter>(storage_, saveDir(), kKey);
    EXPECT_TRUE(test::reported(writer->open(), &code_, &message_)) << message_;
    return writer;
  }

  std::string saveDir() const { return dir_.path() + "/save"; }
  std::string tempPath() const { return dir_.path() + "/root/temp/" + kKey; }

  test::TempDir dir_;
  std::shared_ptr<FileStorageManager> storage_;
  int code_ = 0;
  std::string message_;
};

TEST_F(FileDataWriterTest, DeliversExactBytesToTheSaveDirectory) {
  for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{70001}}) {
    SCOPED_TRACE(size);
    auto writer = openWriter();
    EXPECT_EQ(writer->contentLength(), -1);
    Bytes source = test::patternBytes(size, static_cast<uint32_t>(size));
    ASSERT_TRUE(test::completeDownload(*writer, source));
    EXPECT_EQ(writer->downloadedLength(), static_cast<int64_t>(size));
    ZPResponse response;
    ASSERT_TRUE(test::reported(writer->moveToSaveDir(ZPRequest(), &response), &code_, &message_))
        << message_;
    writer->close();
    EXPECT_EQ(response.getFile(), saveDir() + "/" + kKey);
    EXPECT_EQ(response.fileLength(), static_cast<int64_t>(size));
    EXPECT_EQ(test::readBytes(response.getFile()), source);
    EXPECT_FALSE(stdfs::exists(tempPath()));
  }
}

TEST_F(FileDataWriterTest, DeliversToTheRequestSavePath) {
  auto writer = openWriter();
  Bytes source = test::patternBytes(5000);
  ASSERT_TRUE(test::completeDownload(*writer, source));
  ZPRequest request("http://127.0.0.1/file");
  request.savePath = dir_.path() + "/out/x/y.bin";
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer->moveToSaveDir(request, &response), &code_, &message_))
      << message_;
  writer->close();
  EXPECT_EQ(response.getFile(), request.savePath);
  EXPECT_EQ(test::readBytes(request.savePath), source);
  EXPECT_FALSE(stdfs::exists(saveDir() + "/" + kKey));
}

TEST_F(FileDataWriterTest, UnknownLengthDeliversTheBytesStored) {
  auto writer = openWriter();
  ASSERT_TRUE(test::reported(writer->setContentLength(-1), &code_, &message_));
  const ChunkInfo chunk = writer->chunkAt(0);
  EXPECT_EQ(chunk.end, -1);
  Bytes source = test::patternBytes(12345);
  ASSERT_TRUE(test::fillChunks(*writer, {chunk}, source));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer->moveToSaveDir(ZPRequest(), &response), &code_, &message_))
      << message_;
  writer->close();
  EXPECT_EQ(response.fileLength(), 12345);
  EXPECT_EQ(test::readBytes(response.getFile()), source);
}

TEST_F(FileDataWriterTest, RefusesWritePastTheKnownEnd) {
  auto writer = openWriter();
  ASSERT_TRUE(test::reported(writer->setContentLength(100), &code_, &message_));
  Bytes source = test::patternBytes(101);
  ASSERT_TRUE(test::reported(writer->write(0, 90, source.data()), &code_, &message_));
  EXPECT_FALSE(test::reported(writer->write(0, 11, source.data() + 90), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(writer->downloadedLength(), 90);
  EXPECT_EQ(stdfs::file_size(tempPath()), 90u);
  writer->close();
}

TEST_F(FileDataWriterTest, IncompleteDownloadIsNotDelivered) {
  auto writer = openWriter();
  ASSERT_TRUE(test::reported(writer->setContentLength(100), &code_, &message_));
  Bytes source = test::patternBytes(100);
  ASSERT_TRUE(test::reported(writer->write(0, 60, source.data()), &code_, &message_));
  ZPResponse response;
  EXPECT_FALSE(test::reported(writer->moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_TRUE(response.getFile().empty());
  EXPECT_FALSE(stdfs::exists(saveDir() + "/" + kKey));
  writer->close();
}

TEST_F(FileDataWriterTest, WriteWithoutOpenFileIsRefused) {
  FileDataWriter writer(storage_, saveDir(), kKey);
  Bytes source = test::patternBytes(10);
  EXPECT_FALSE(test::reported(writer.write(0, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(writer.contentLength(), 0);
}

TEST_F(FileDataWriterTest, OpenDiscardsTheFileOfAnEarlierRun) {
  auto first = openWriter();
  Bytes source = test::patternBytes(3000);
  ASSERT_TRUE(test::reported(first->write(0, 3000, source.data()), &code_, &message_));
  first->close();
  ASSERT_EQ(stdfs::file_size(tempPath()), 3000u);

  auto second = openWriter();
  EXPECT_EQ(stdfs::file_size(tempPath()), 0u);
  EXPECT_EQ(second->firstChunk().current, 0);
  second->close();
}

TEST_F(FileDataWriterTest, ResetStartsAgainAtByteZero) {
  auto writer = openWriter();
  ASSERT_TRUE(test::reported(writer->setContentLength(2000), &code_, &message_));
  Bytes stale = test::patternBytes(2000, 1);
  ASSERT_TRUE(test::reported(writer->write(0, 1500, stale.data()), &code_, &message_));
  writer->reset();
  EXPECT_EQ(writer->downloadedLength(), 0);
  EXPECT_EQ(writer->contentLength(), -1);
  EXPECT_EQ(stdfs::file_size(tempPath()), 0u);
  Bytes source = test::patternBytes(1000, 2);
  ASSERT_TRUE(test::completeDownload(*writer, source));
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer->moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  writer->close();
  EXPECT_EQ(test::readBytes(response.getFile()), source);
}

TEST_F(FileDataWriterTest, FailedWriteReportsTheSystemError) {
  if (!zephyl::test::FileSizeLimit::supported()) {
    GTEST_SKIP() << zephyl::test::kNoFileSizeLimit;
  }
  auto writer = openWriter();
  Bytes source = test::patternBytes(8192);
  {
    test::FileSizeLimit limit(4096);
    ASSERT_TRUE(limit.applied());
    ASSERT_TRUE(test::reported(writer->write(0, 4000, source.data()), &code_, &message_));
    EXPECT_FALSE(test::reported(writer->write(0, 4000, source.data() + 4000), &code_, &message_));
  }
  EXPECT_EQ(code_, EFBIG);
  EXPECT_EQ(message_, std::generic_category().message(EFBIG));
  EXPECT_EQ(writer->downloadedLength(), 4000);
  // The writer stays usable once the file may grow again.
  EXPECT_TRUE(test::reported(writer->write(0, 4000, source.data() + 4000), &code_, &message_));
  EXPECT_EQ(writer->downloadedLength(), 8000);
  writer->close();
}

TEST_F(FileDataWriterTest, CloseCarriesOutARemovalRequestedMeanwhile) {
  auto writer = openWriter();
  Bytes source = test::patternBytes(100);
  ASSERT_TRUE(test::reported(writer->write(0, 100, source.data()), &code_, &message_));
  storage_->removeTempFile(kKey);
  EXPECT_TRUE(stdfs::exists(tempPath()));
  writer->close();
  EXPECT_FALSE(stdfs::exists(tempPath()));
}

}  // namespace
}  // namespace zephyl
