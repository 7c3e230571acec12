// How a download is planned over its connections: runs of adjacent chunks asked for in bounded
// segments, never a byte twice, and a worker that runs out of work taking over the unrequested
// end of a slow connection's run. Against a loopback server whose answer to one range trickles.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/httplib_runner.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::patternBytes;

constexpr int64_t kBlock = 16384;
constexpr int64_t kBlocks = 16;

class ChunkPlannerTest : public testing::Test {
 protected:
  void SetUp() override {
    server_.Get("/f", [this](const httplib::Request& req, httplib::Response& res) {
      // Ranged answers of the test's own: 206 with Content-Range, body sent in pieces.
      const std::string range = req.get_header_value("Range");
      const size_t dash = range.find('-');
      ASSERT_EQ(range.rfind("bytes=", 0), 0u) << range;
      const int64_t first = std::stoll(range.substr(6, dash - 6));
      const std::string rest = range.substr(dash + 1);
      // A range past the end is answered up to the end, as any server does.
      const int64_t asked = rest.empty() ? INT64_MAX : static_cast<int64_t>(std::stoll(rest));
      const int64_t last = std::min<int64_t>(kBlock * kBlocks - 1, asked);
      const bool slow = first == slowStart_;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ranges_.emplace_back(first, last);
        duringSlow_.push_back(slowSending_ > 0);
        if (slow) ++slowSending_;
        mostAtOnce_ = std::max(mostAtOnce_, ++answering_);
      }
      const bool stalls = stallMs_ > 0 && first > 0;
      if (answerDelayMs_ > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs_));
      }
      res.status = 206;
      res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                          std::to_string(last) + "/" +
                                          std::to_string(kBlock * kBlocks));
      res.set_chunked_content_provider(
          "application/octet-stream",
          [this, first, last, slow, stalls](size_t offset, httplib::DataSink& sink) {
            const int64_t at = first + static_cast<int64_t>(offset);
            if (at > last) {
              if (slow) {
                std::lock_guard<std::mutex> lock(mutex_);
                --slowSending_;
              }
              sink.done();
              return true;
            }
            // The slow answer: a small piece every 20 ms, until the client has had enough. A
            // stalling one: its first piece, a pause, then the rest at full speed.
            int64_t piece = std::min<int64_t>(slow ? slowPiece_ : 65536, last - at + 1);
            if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (stalls && offset == 0) piece = std::min<int64_t>(piece, kStallAfter);
            if (stalls && offset == kStallAfter) {
              std::this_thread::sleep_for(std::chrono::milliseconds(stallMs_));
            }
            return sink.write(reinterpret_cast<const char*>(body_.data() + at),
                              static_cast<size_t>(piece));
          },
          [this](bool) {
            std::lock_guard<std::mutex> lock(mutex_);
            --answering_;
          });
    });
    server_.set_keep_alive_max_count(1000);
    runner_ = std::make_unique<zephyl::test::HttplibRunner>(server_);
    ASSERT_TRUE(runner_->running());
  }

  // The server stops before the state its handlers use goes.
  void TearDown() override { runner_.reset(); }

  ZPResponse download(int splitThresholdMs = 2000) {
    ZPSetting settings(dir_.file("root"), dir_.file("save"));
    settings.threadNum = 2;
    settings.blockSize = kBlock;
    settings.splitThresholdMs = splitThresholdMs;
    Zephyl manager(settings);
    ZPRequest request(runner_->url("/f"));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    return manager.execute(request);
  }

  std::vector<std::pair<int64_t, int64_t>> ranges() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ranges_;
  }

  const std::vector<uint8_t> body_ = patternBytes(kBlock * kBlocks, 41);
  int64_t slowStart_ = -1;    // the answer to the range starting here trickles
  int64_t slowPiece_ = 1024;  // bytes it sends every 20 ms
  int answerDelayMs_ = 0;     // every answer waits this long, as over a long round trip
  int stallMs_ = 0;           // every answer to a range past byte 0 pauses this long early on
  static constexpr size_t kStallAfter = 1024;  // bytes such an answer sends before its pause
  httplib::Server server_;
  std::unique_ptr<zephyl::test::HttplibRunner> runner_;
  std::mutex mutex_;
  // Guarded by mutex_: every range asked for, whether the slow answer was being sent when it
  // came, how many slow answers are being sent, and how many requests are being answered now and
  // at most so far.
  std::vector<std::pair<int64_t, int64_t>> ranges_;
  std::vector<bool> duringSlow_;
  int slowSending_ = 0;
  int answering_ = 0;
  int mostAtOnce_ = 0;
  zephyl::test::TempDir dir_;
};

TEST_F(ChunkPlannerTest, FastDownloadTakesFewBoundedRequestsOverOneConnection) {
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  // The first request asks for its first chunk (the length is not known yet), the next ones for
  // the rest on the same transfer, each at most four times the one before: what one loopback
  // connection fetches in a second (a busy machine's slower rate may ask for a little less).
  const auto asked = ranges();
  EXPECT_EQ(asked.front(), std::make_pair(int64_t{0}, kBlock - 1));
  EXPECT_LE(asked.size(), 5u);
  int64_t reached = 0;
  for (const auto& [first, last] : asked) {
    EXPECT_EQ(first, reached) << "asked out of order or twice";
    reached = last + 1;
  }
  EXPECT_EQ(reached, kBlock * kBlocks);
}

TEST_F(ChunkPlannerTest, IdleWorkerTakesTheUnrequestedEndOfASlowRun) {
  // Both transfers open at once, each with half of the resource: the second one's first
  // answer, from the middle, trickles for more than a second, time enough for its rate to
  // show however busy the machine is.
  slowStart_ = kBlock * kBlocks / 2;
  slowPiece_ = 256;
  ZPResponse response = download(0);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  std::lock_guard<std::mutex> lock(mutex_);
  // A request from inside the slow run while its answer was still trickling can only come from
  // the other worker: it took over the end the slow transfer had not asked for yet. And no byte
  // was asked for twice.
  bool taken = false;
  std::vector<std::pair<int64_t, int64_t>> sorted = ranges_;
  for (size_t i = 0; i < ranges_.size(); ++i) {
    taken = taken || (duringSlow_[i] && ranges_[i].first > slowStart_);
  }
  EXPECT_TRUE(taken) << "no request took over the slow run's end";
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i) {
    EXPECT_GT(sorted[i].first, sorted[i - 1].second) << "asked twice from " << sorted[i].first;
  }
}

TEST_F(ChunkPlannerTest, DownloadThatOneConnectionFinishesSoonIsNotSplit) {
  // Every answer takes 300 ms to come, its bytes then a moment: a second connection would wait
  // longer for its answer than the first one takes to finish.
  answerDelayMs_ = 300;
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  // One connection all along, and few requests: the first, one that the first answer's rate
  // (which may be a burst) keeps short, then the rest.
  EXPECT_LE(ranges().size(), 3u);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(mostAtOnce_, 1) << "the download was split although one transfer was about to end";
}

TEST_F(ChunkPlannerTest, AnswersThatAllStallEarlyAreNotAskedForAgainAndAgain) {
  // Every answer waits a while; one to a range past byte 0 then sends a little and pauses: the
  // transfer after byte 0 looks far slower than the first one. Leaving its rest to a new request
  // gains nothing, as that answer pauses too; a rest left once is not left again, so the
  // requests stay few.
  answerDelayMs_ = 300;
  stallMs_ = 1000;
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  EXPECT_LT(ranges().size(), static_cast<size_t>(kBlocks)) << "a stalling answer was asked again";
}

}  // namespace
