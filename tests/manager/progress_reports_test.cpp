// Progress reports through the public interface: paced answers from a loopback server of the
// test's own, counted against bounds loose enough for a slow or sanitized machine.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "support/loopback_download.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;

constexpr int64_t kSize = 2 * 1024 * 1024;
constexpr int64_t kPacedSize = 16 * 1024 * 1024;

// Every onProgress of a download, with the moment it came.
class Reports {
 public:
  ZPRequest::ProgressCallback callback() {
    return [this](const ZPRequest&, int64_t downloaded, int64_t total) {
      std::lock_guard<std::mutex> lock(mutex_);
      downloaded_.push_back(downloaded);
      totals_.push_back(total);
    };
  }
  std::vector<int64_t> downloaded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return downloaded_;
  }
  std::vector<int64_t> totals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return totals_;
  }

 private:
  std::mutex mutex_;
  std::vector<int64_t> downloaded_;
  std::vector<int64_t> totals_;
};

// Most reports a download of elapsed time may make at 20 a second (one more for the last).
size_t mostReports(std::chrono::steady_clock::duration elapsed) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<size_t>(ms / 50 + 2);
}

void expectRising(const std::vector<int64_t>& downloaded) {
  for (size_t i = 1; i < downloaded.size(); ++i) {
    EXPECT_GT(downloaded[i], downloaded[i - 1]) << "report " << i;
  }
}

struct Case {
  const char* name;
  int64_t blockSize;
  int32_t threadNum;
  int outputType;
};

class ProgressReportsTest : public testing::TestWithParam<Case>,
                            protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.blockSize = GetParam().blockSize;
    settings_.threadNum = GetParam().threadNum;
  }

  // A request for path into the case's sink whose progress goes to reports.
  ZPRequest reportedRequest(const std::string& path, Reports& reports) {
    ZPRequest request(server_.url(path));
    request.outputType = GetParam().outputType;
    request.onProgress = reports.callback();
    return request;
  }
};

// 16 MiB at 8 MiB/s a connection: whatever the block size (one block of 8 MiB is half of it), the
// count moves in small steps while the bytes arrive, at most 20 times a second, never back, and
// the last report is the whole length.
TEST_P(ProgressReportsTest, ReportsMoveWhileBytesArriveAtBoundedRate) {
  Misbehaviour paced;
  paced.bytesPerSecond = 8 * 1024 * 1024;
  server_.serve("/paced", patternBytes(kPacedSize), paced);
  Zephyl manager(settings_);
  Reports reports;
  const ZPRequest request = reportedRequest("/paced", reports);

  const auto start = std::chrono::steady_clock::now();
  const ZPResponse response = manager.execute(request);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(response.isSuccess()) << response.errorMsg;

  const std::vector<int64_t> downloaded = reports.downloaded();
  ASSERT_FALSE(downloaded.empty());
  // At least one report every 250 ms of the 2 s or more the bytes take, halved for slack.
  EXPECT_GE(downloaded.size(), 4u);
  EXPECT_LE(downloaded.size(), mostReports(elapsed));
  expectRising(downloaded);
  EXPECT_EQ(downloaded.back(), kPacedSize);
  for (int64_t total : reports.totals()) EXPECT_EQ(total, kPacedSize);
  // No step takes a large part of the file at once.
  int64_t before = 0;
  for (int64_t now : downloaded) {
    EXPECT_LE(now - before, kPacedSize / 4);
    before = now;
  }
}

// A download that stalls for 1.5 s reports nothing while it waits: every report has a new count.
TEST_P(ProgressReportsTest, StalledDownloadDoesNotReport) {
  Misbehaviour stalling;
  stalling.stallAfterBytes = kSize / 4;
  stalling.stallMs = 1500;
  server_.serve("/stall", patternBytes(kSize), stalling);
  Zephyl manager(settings_);
  Reports reports;
  const ZPRequest request = reportedRequest("/stall", reports);

  const ZPResponse response = manager.execute(request);
  ASSERT_TRUE(response.isSuccess()) << response.errorMsg;
  const std::vector<int64_t> downloaded = reports.downloaded();
  ASSERT_FALSE(downloaded.empty());
  expectRising(downloaded);
  EXPECT_EQ(downloaded.back(), kSize);
  // The fast parts of the answers (one per transfer) take a few reports each; 1.5 s of stall at
  // 20 a second would add 30.
  EXPECT_LE(downloaded.size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, ProgressReportsTest,
    testing::Values(Case{"SmallBlocksChunkFile", 64 * 1024, 1, ZPRequest::OUTPUT_CHUNK_FILE},
                    Case{"OneLargeBlockFile", 8 * 1024 * 1024, 1, ZPRequest::OUTPUT_FILE},
                    Case{"ParallelMemory", 256 * 1024, 4, ZPRequest::OUTPUT_MEMORY}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// A batch's percentage never goes back and reaches 100 with the last report; each download's own
// counts rise to its length. (One download at a time: reports of two running downloads may reach
// the batch callback in either order.)
TEST(BatchProgressTest, PercentRisesToHundred) {
  zephyl::test::TempDir dir;
  zephyl::test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  Misbehaviour paced;
  paced.bytesPerSecond = 1024 * 1024;
  server.serve("/a", patternBytes(kSize / 2, 1), paced);
  server.serve("/b", patternBytes(kSize / 2, 2), paced);
  ZPSetting settings(dir.file("root"), dir.file("save"));
  settings.blockSize = 64 * 1024;
  settings.taskThreadNum = 1;
  Zephyl manager(settings);

  std::mutex mutex;
  std::vector<int> percents;
  std::vector<std::vector<int64_t>> perRequest(2);
  ZPBatchRequest batch({ZPRequest(server.url("/a")), ZPRequest(server.url("/b"))});
  batch.onRequestProgress = [&](const ZPBatchRequest&, int index, int64_t downloaded, int64_t,
                                int percent) {
    std::lock_guard<std::mutex> lock(mutex);
    percents.push_back(percent);
    perRequest[static_cast<size_t>(index)].push_back(downloaded);
  };
  const std::vector<ZPResponse> responses = manager.batchExecute(batch);
  ASSERT_EQ(responses.size(), 2u);
  for (const ZPResponse& response : responses) ASSERT_TRUE(response.isSuccess());

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_GE(percents.size(), 4u);
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
  EXPECT_EQ(percents.back(), 100);
  for (const std::vector<int64_t>& downloaded : perRequest) {
    ASSERT_FALSE(downloaded.empty());
    expectRising(downloaded);
    EXPECT_EQ(downloaded.back(), kSize / 2);
  }
}

}  // namespace
