// How a download is planned over its connections: runs of adjacent chunks fetched with one
// request each, and a worker that runs out of work taking over the unstarted end of a slow
// connection's run. Against a loopback server whose answer to one range trickles.
#include <gtest/gtest.h>
#include <httplib.h>

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
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ranges_.emplace_back(first, last);
      }
      const bool slow = first == slowStart_;
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
          });
    });
    server_.set_keep_alive_max_count(1000);
    runner_ = std::make_unique<zephyl::test::HttplibRunner>(server_);
    ASSERT_TRUE(runner_->running());
  }

  // The server stops before the state its handlers use goes.
  void TearDown() override { runner_.reset(); }

  ZPResponse download() {
    ZPSetting settings(dir_.file("root"), dir_.file("save"));
    settings.threadNum = 2;
    settings.blockSize = kBlock;
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
  std::vector<std::pair<int64_t, int64_t>> ranges_;  // guarded by mutex_
  zephyl::test::TempDir dir_;
};

TEST_F(ChunkPlannerTest, RunsOfChunksTakeOneRequestEach) {
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  // The first request from byte 0 (asking for the whole resource, whose length it does not know
  // yet), then the other worker's run from the middle (and perhaps the ends of runs taken over
  // by the worker that finished first), each starting at a chunk boundary.
  const auto asked = ranges();
  EXPECT_EQ(asked.front(), std::make_pair(int64_t{0}, kBlock * kBlocks - 1));
  EXPECT_LT(asked.size(), static_cast<size_t>(kBlocks / 2));
  for (const auto& [first, last] : asked) {
    EXPECT_EQ(first % kBlock, 0) << first;
    EXPECT_LE(first, last);
  }
}

TEST_F(ChunkPlannerTest, IdleWorkerTakesTheUnstartedEndOfASlowRun) {
  // Two workers share the resource evenly: the second one's run, from the middle, trickles.
  slowStart_ = kBlock * kBlocks / 2;
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  const auto asked = ranges();
  int64_t slowEnd = -1;
  for (const auto& [first, last] : asked) {
    if (first == slowStart_) slowEnd = last;
  }
  ASSERT_GT(slowEnd, slowStart_);
  // Some other request starts at a chunk boundary inside the slow run: its end was taken over.
  bool taken = false;
  for (const auto& [first, last] : asked) {
    taken = taken || (first > slowStart_ && first <= slowEnd && first % kBlock == 0);
  }
  EXPECT_TRUE(taken) << "no request took over the slow run's end";
}

TEST_F(ChunkPlannerTest, RunEndingSoonerThanANewAnswerCouldComeIsNotSplit) {
  // Every answer takes 300 ms to come, its bytes then a moment: the worker that finishes first
  // would wait longer for an answer to the other run's end than that run takes to finish.
  answerDelayMs_ = 300;
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  const auto asked = ranges();
  EXPECT_EQ(asked.size(), 2u) << "a run was split although its transfer was about to end";
}

TEST_F(ChunkPlannerTest, IdleWorkerTakesOverTheRestOfASlowTransfersChunk) {
  // The other worker's run trickles so slowly that one chunk of it takes over a second: once
  // every chunk it has not reached is taken, the chunk it fills is the last thing left.
  slowStart_ = kBlock * kBlocks / 2;
  slowPiece_ = 256;
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
  // The slow transfer stored what it had and ended; another request went on from there, in the
  // middle of the chunk.
  bool midChunk = false;
  for (const auto& [first, last] : ranges()) {
    midChunk = midChunk || (first > slowStart_ && first % kBlock != 0);
  }
  EXPECT_TRUE(midChunk) << "nobody took over the slow transfer's chunk";
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
