// Copies of a delivered download at another request's target, from a file and from memory, and
// the check of a target before a download fetches anything.
#include "engine/request_delivery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "engine/file_download_task.h"
#include "storage/file_storage_manager.h"
#include "storage/fs.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

namespace zephyl {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

DeliveryTarget fileTarget(const std::string& path, bool renameIfExists) {
  DeliveryTarget target;
  target.path = path;
  target.renameIfExists = renameIfExists;
  return target;
}

// Every case runs with the download delivered to a file and to memory.
class DeliverCopyTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (GetParam()) {
      source_.outputData = std::make_shared<Bytes>(body_);
    } else {
      source_.outputFilePath = dir_.file("delivered");
      writeFile(source_.outputFilePath, body_);
    }
    source_.fileLength = static_cast<int64_t>(body_.size());
  }

  ZPResponse copyTo(const DeliveryTarget& target) {
    return deliverCopy(source_, GetParam(), target, 0);
  }

  test::TempDir dir_;
  const Bytes body_ = test::patternBytes(70000);
  ZPResponse source_;
};

TEST_P(DeliverCopyTest, ExistingFileIsKeptOrReplacedAsTheRequestSays) {
  const Bytes users = {'m', 'i', 'n', 'e'};
  writeFile(dir_.file("a.bin"), users);
  ZPResponse renamed = copyTo(fileTarget(dir_.file("a.bin"), true));
  ASSERT_TRUE(renamed.isSuccess()) << renamed.logString();
  EXPECT_EQ(renamed.getFile(), dir_.file("a(1).bin"));
  EXPECT_EQ(readFile(dir_.file("a.bin")), users);
  EXPECT_EQ(readFile(renamed.getFile()), body_);

  ZPResponse replaced = copyTo(fileTarget(dir_.file("a.bin"), false));
  ASSERT_TRUE(replaced.isSuccess()) << replaced.logString();
  EXPECT_EQ(readFile(dir_.file("a.bin")), body_);
  // Nothing but the two copies and the delivered file: no temporary file is left behind.
  std::vector<std::string> entries;
  ASSERT_TRUE(fs::listFiles(dir_.path(), &entries).isOk());
  EXPECT_EQ(entries.size(), GetParam() ? 2u : 3u);
}

TEST_P(DeliverCopyTest, TargetThatCannotBeMadeIsACacheErrorWithTheSystemsReport) {
  writeFile(dir_.file("blocker"), {'x'});
  ZPResponse copy = copyTo(fileTarget(dir_.file("blocker/sub/copy"), false));
  EXPECT_EQ(copy.getResultCode(), ZPResponse::RESULT_FAILED);
  EXPECT_EQ(copy.getErrorCode(), ZPResponse::CACHE_ERROR);
  EXPECT_NE(copy.extraErrorCode, 0);
  EXPECT_FALSE(copy.getErrorMsg().empty());
  EXPECT_TRUE(copy.getFile().empty());
}

INSTANTIATE_TEST_SUITE_P(FromFileAndMemory, DeliverCopyTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "FromMemory" : "FromFile";
                         });

TEST(DeliverFileToMemoryTest, FileLongerThanMemoryIsRefusedBeforeReading) {
  ZPResponse source;
  source.outputFilePath = "/nonexistent/never-read";
  source.fileLength = int64_t{1} << 40;
  ZPResponse copy = deliverCopy(source, false, DeliveryTarget{true, "", false}, 1 << 20);
  EXPECT_EQ(copy.getErrorCode(), ZPResponse::CACHE_ERROR);
  EXPECT_EQ(copy.getData(), nullptr);
  EXPECT_NE(copy.getErrorMsg().find("too large"), std::string::npos) << copy.getErrorMsg();
}

// A target no file can take fails the download before any request, for both file sinks: a file
// where a directory of the path should be, and a directory under the target's own name.
class UnwritableTargetTest : public testing::TestWithParam<int> {};

TEST_P(UnwritableTargetTest, FailsBeforeAnyByteIsFetched) {
  test::TempDir dir;
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  server.serve("/r", test::patternBytes(300000));
  writeFile(dir.file("blocker"), {'x'});
  ASSERT_TRUE(fs::createDirectories(dir.file("taken")).isOk());
  ZPSetting settings(dir.file("root"), dir.file("save"));
  auto storage = FileStorageManager::getInstance(settings.rootDir, settings.cachePolicy);
  for (const std::string& target : {dir.file("blocker/sub/r.bin"), dir.file("taken")}) {
    SCOPED_TRACE(target);
    ZPRequest request(server.url("/r"));
    request.outputType = GetParam();
    request.fileKey = fileKeyFromUrl(request.url);
    request.savePath = target;
    ZPResponse response = FileDownloadTask(settings, storage, request).execute();
    EXPECT_EQ(response.getErrorCode(), ZPResponse::CACHE_ERROR);
    EXPECT_NE(response.getErrorMsg().find("cannot write " + target), std::string::npos)
        << response.getErrorMsg();
    EXPECT_EQ(server.requestCount(), 0u);
  }
  // The check creates nothing: the missing directories of a good target come with delivery.
  ZPRequest request(server.url("/r"));
  request.outputType = GetParam();
  request.fileKey = fileKeyFromUrl(request.url);
  request.savePath = dir.file("new/deeper/r.bin");
  EXPECT_TRUE(checkTargetWritable(DeliveryTarget::of(request, "", true)).isSuccess());
  EXPECT_FALSE(fs::exists(dir.file("new")));
  ZPResponse response = FileDownloadTask(settings, storage, request).execute();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(readFile(response.getFile()), test::patternBytes(300000));
}

INSTANTIATE_TEST_SUITE_P(BothFileSinks, UnwritableTargetTest,
                         testing::Values(ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == ZPRequest::OUTPUT_FILE ? "File" : "ChunkFile";
                         });

}  // namespace
}  // namespace zephyl
