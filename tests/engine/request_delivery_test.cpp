// Copies of a delivered download at another request's target, from a file and from memory.
#include "engine/request_delivery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

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
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

DeliveryTarget fileTarget(const std::string& path, bool renameIfExists) {
  DeliveryTarget target;
  target.path = path;
  target.renameIfExists = renameIfExists;
  return target;
}

TEST(DeliveryTargetTest, OneFileSpelledTwoWaysIsOneTarget) {
  ZPRequest byDirectory("http://127.0.0.1/x");
  byDirectory.fileKey = "key";
  ZPRequest byPath = byDirectory;
  byPath.savePath = "/save//./key";
  const DeliveryTarget fromDirectory = DeliveryTarget::of(byDirectory, "/save/");
  EXPECT_TRUE(fromDirectory.sameAs(DeliveryTarget::of(byPath, "/elsewhere")));
  byPath.renameIfExists = 1;
  EXPECT_FALSE(fromDirectory.sameAs(DeliveryTarget::of(byPath, "/elsewhere")));
  byPath.outputType = ZPRequest::OUTPUT_MEMORY;
  EXPECT_FALSE(fromDirectory.sameAs(DeliveryTarget::of(byPath, "/elsewhere")));
  EXPECT_TRUE(DeliveryTarget::of(byPath, "/a").sameAs(DeliveryTarget::of(byPath, "/b")));
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

TEST_P(DeliverCopyTest, CopyIsExactAndTheDeliveredResultStays) {
  ZPResponse copy = copyTo(fileTarget(dir_.file("new/dir/copy"), false));
  ASSERT_TRUE(copy.isSuccess()) << copy.logString();
  EXPECT_EQ(copy.getFile(), dir_.file("new/dir/copy"));
  EXPECT_EQ(copy.fileLength(), static_cast<int64_t>(body_.size()));
  EXPECT_EQ(readFile(copy.getFile()), body_);
  if (!GetParam()) {
    EXPECT_EQ(readFile(source_.getFile()), body_);
  }
  // No temporary file is left beside the copy.
  std::vector<std::string> entries;
  ASSERT_TRUE(fs::listFiles(dir_.file("new/dir"), &entries));
  EXPECT_EQ(entries.size(), 1u);

  ZPResponse inMemory = copyTo(DeliveryTarget{true, "", false});
  ASSERT_TRUE(inMemory.isSuccess()) << inMemory.logString();
  ASSERT_NE(inMemory.getData(), nullptr);
  EXPECT_EQ(*inMemory.getData(), body_);
}

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

}  // namespace
}  // namespace zephyl
