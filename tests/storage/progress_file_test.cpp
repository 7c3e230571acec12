#include "storage/progress_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace zephyl {
namespace {

constexpr int64_t kBlock = 2097152;

// Byte-level encoding written independently of the library, from the documented layout.
void putLittleEndian(std::string& bytes, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string encode(int32_t version, int64_t contentLength, int32_t count,
                   const std::vector<std::vector<int64_t>>& records) {
  std::string bytes;
  putLittleEndian(bytes, static_cast<uint32_t>(version), 4);
  putLittleEndian(bytes, static_cast<uint64_t>(contentLength), 8);
  putLittleEndian(bytes, static_cast<uint32_t>(count), 4);
  for (const auto& record : records) {
    for (int64_t value : record) putLittleEndian(bytes, static_cast<uint64_t>(value), 8);
  }
  return bytes;
}

class ProgressFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zephyl-progress-XXXXXX";
    ASSERT_NE(zephyl::test::makeTemporaryDirectory(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/key.info";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string readAll() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void writeAll(const std::string& bytes) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(ProgressFileTest, SaveFoldsFinishedAdjacentChunksIntoTheNext) {
  std::vector<ChunkInfo> chunks{{0, 0, kBlock, kBlock},
                                {1, kBlock, 2 * kBlock, 2 * kBlock},
                                {2, 2 * kBlock, 2 * kBlock + 200, 2 * kBlock + 100}};
  ASSERT_TRUE(saveProgress(path_, chunks, 2 * kBlock + 200));
  EXPECT_EQ(readAll(), encode(1, 2 * kBlock + 200, 1, {{0, 2 * kBlock + 100, 2 * kBlock + 200}}));
  EXPECT_EQ(readAll().size(), 40u);
}

TEST_F(ProgressFileTest, SaveKeepsGapsAndUnfinishedChunksApart) {
  // An unfinished chunk is never merged into, and a finished one only absorbs its direct successor.
  std::vector<ChunkInfo> chunks{{0, 0, 100, 50}, {1, 100, 200, 200}, {2, 300, 400, 300}};
  ASSERT_TRUE(saveProgress(path_, chunks, 400));
  EXPECT_EQ(readAll(), encode(1, 400, 3, {{0, 50, 100}, {100, 200, 200}, {300, 300, 400}}));
}

TEST_F(ProgressFileTest, LoadReadsWhatAnIndependentWriterWrote) {
  writeAll(encode(7, 200, 2, {{0, 100, 100}, {100, 150, 200}}));
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = -1;
  ASSERT_TRUE(loadProgress(path_, chunks, contentLength));
  EXPECT_EQ(contentLength, 200);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].chunkId, 0);
  EXPECT_EQ(chunks[1].start, 100);
  EXPECT_EQ(chunks[1].current, 150);
  EXPECT_EQ(chunks[1].end, 200);
}

TEST_F(ProgressFileTest, RoundTripAppendsToTheGivenVector) {
  std::vector<ChunkInfo> saved{{0, 0, 10, 10}, {1, 20, 30, 25}};
  ASSERT_TRUE(saveProgress(path_, saved, 30));
  std::vector<ChunkInfo> loaded{{5, 1, 2, 1}};
  int64_t contentLength = 0;
  ASSERT_TRUE(loadProgress(path_, loaded, contentLength));
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(loaded[0].chunkId, 5);
  EXPECT_EQ(loaded[2].start, 20);
  EXPECT_EQ(loaded[2].current, 25);
}

TEST_F(ProgressFileTest, CountOfZeroOrBelowLoadsAsNoRecords) {
  for (int32_t count : {0, -1, INT32_MIN}) {
    writeAll(encode(1, 500, count, {}));
    std::vector<ChunkInfo> chunks;
    int64_t contentLength = 0;
    EXPECT_TRUE(loadProgress(path_, chunks, contentLength)) << count;
    EXPECT_TRUE(chunks.empty());
    EXPECT_EQ(contentLength, 500);
  }
}

TEST_F(ProgressFileTest, TruncatedFilesLoadAsFalse) {
  const std::string full = encode(1, 1000, 2, {{0, 10, 500}, {500, 600, 1000}});
  for (size_t size : {size_t{0}, size_t{3}, size_t{11}, size_t{15}, size_t{40}, full.size() - 1}) {
    writeAll(full.substr(0, size));
    std::vector<ChunkInfo> chunks;
    int64_t contentLength = 0;
    EXPECT_FALSE(loadProgress(path_, chunks, contentLength)) << size;
    EXPECT_LE(chunks.size(), 1u);
  }
  // Cut right after the content length: false, with that length stored.
  writeAll(full.substr(0, 12));
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = 0;
  EXPECT_FALSE(loadProgress(path_, chunks, contentLength));
  EXPECT_EQ(contentLength, 1000);
  EXPECT_TRUE(chunks.empty());
}

TEST_F(ProgressFileTest, AbsurdCountReadsOnlyWhatIsThere) {
  writeAll(encode(1, 1000, INT32_MAX, {{0, 10, 500}, {500, 600, 1000}}));
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = 0;
  EXPECT_FALSE(loadProgress(path_, chunks, contentLength));
  EXPECT_EQ(chunks.size(), 2u);
  EXPECT_LT(chunks.capacity(), 1024u);
}

TEST_F(ProgressFileTest, ImplausibleRecordsAreNotTrusted) {
  const std::vector<std::vector<std::vector<int64_t>>> garbage{
      {{-5, 0, 10}},     // starts before the resource
      {{10, 5, 20}},     // current before start
      {{0, 30, 20}},     // current past end
      {{0, 150, 200}},   // claims bytes past the content length of 100
  };
  for (const auto& records : garbage) {
    writeAll(encode(1, 100, 1, records));
    std::vector<ChunkInfo> chunks;
    int64_t contentLength = 0;
    EXPECT_FALSE(loadProgress(path_, chunks, contentLength));
    EXPECT_TRUE(chunks.empty());
  }
  writeAll(encode(1, -1, 0, {}));
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = 0;
  EXPECT_FALSE(loadProgress(path_, chunks, contentLength));
}

// A save cut short, by a full disk (here a file-size limit) or by a path it cannot write, must
// leave the previous record loadable: a resume then refetches only what came after it.
TEST_F(ProgressFileTest, SaveThatCannotCompleteLeavesThePreviousRecord) {
  if (!zephyl::test::FileSizeLimit::supported()) {
    GTEST_SKIP() << zephyl::test::kNoFileSizeLimit;
  }
  const std::vector<ChunkInfo> previous{{0, 0, 100, 60}};
  ASSERT_TRUE(saveProgress(path_, previous, 100));
  std::vector<ChunkInfo> many;
  for (int64_t i = 0; i < 50; ++i) many.push_back({0, i * 100, i * 100 + 100, i * 100 + 50});
  {
    test::FileSizeLimit limit(100);  // the previous record fits, the new one does not
    ASSERT_TRUE(limit.applied());
    EXPECT_FALSE(saveProgress(path_, many, 5000));
  }
  EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
  std::filesystem::create_directory(path_ + ".tmp");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(saveProgress(path_, many, 5000));
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(readAll(), encode(1, 100, 1, {{0, 60, 100}}));
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = 0;
  EXPECT_TRUE(loadProgress(path_, chunks, contentLength));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].current, 60);
}

TEST_F(ProgressFileTest, MissingFileOrUnwritablePathFails) {
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = 0;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(loadProgress(dir_ + "/absent.info", chunks, contentLength));
  EXPECT_FALSE(saveProgress(dir_ + "/no/such/dir/key.info", {}, 0));
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace zephyl
