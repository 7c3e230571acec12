// Bandwidth limits through the public interface against a loopback server, with loose,
// load-proof time bounds only (accuracy is a benchmark's job).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/file_contents.h"
#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using Clock = std::chrono::steady_clock;
using zephyl::test::patternBytes;

constexpr int64_t kKiB = 1024;

class RateLimitsTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.blockSize = 64 * kKiB;
    settings_.threadNum = 4;
    settings_.splitThresholdMs = 0;  // every transfer at once: they must share the limit
    settings_.httpPolicy.executeRetryCount = 0;
    settings_.httpPolicy.netErrorRetryCount = 0;
    // Held back for longer than this on purpose, a transfer must not count as stalled.
    settings_.httpPolicy.stallTimeoutMs = 300;
  }

  std::vector<uint8_t> serve(const std::string& path, size_t size, uint32_t seed) {
    std::vector<uint8_t> body = patternBytes(size, seed);
    server_.serve(path, body);
    return body;
  }

  // Queues request; the future receives its response.
  static std::future<ZPResponse> enqueue(Zephyl& manager, ZPRequest& request) {
    auto done = std::make_shared<std::promise<ZPResponse>>();
    request.onComplete = [done](const ZPRequest&, const ZPResponse& response) {
      done->set_value(response);
    };
    manager.enqueue(request);
    return done->get_future();
  }

  // Bytes the running download of url has stored; waits (bounded) until it has stored some.
  static int64_t storedOnceStarted(Zephyl& manager, const std::string& url) {
    int64_t stored = 0;
    for (int i = 0; i < 500 && stored <= 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!manager.fetchProgress(url, &stored, nullptr)) stored = 0;
    }
    return stored;
  }
};

struct LimitCase {
  const char* name;
  bool managerLimit;  // else the request's own
  int downloads;      // at once, of 1 MiB each
};

class HeldDownloadTest : public RateLimitsTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(HeldDownloadTest, TakesMostOfSizeOverLimitAndStoresExactBytes) {
  constexpr int64_t kLimit = 512 * kKiB;
  constexpr size_t kSize = 1024 * kKiB;
  if (GetParam().managerLimit) settings_.maxBytesPerSecond = kLimit;
  Zephyl manager(settings_);
  std::vector<std::vector<uint8_t>> bodies;
  std::vector<std::future<ZPResponse>> results;
  const auto start = Clock::now();
  for (int i = 0; i < GetParam().downloads; ++i) {
    const std::string path = "/file" + std::to_string(i);
    bodies.push_back(serve(path, kSize, 10 + i));
    ZPRequest request(server_.url(path));
    if (!GetParam().managerLimit) request.maxBytesPerSecond = kLimit;
    results.push_back(enqueue(manager, request));
  }
  for (int i = 0; i < GetParam().downloads; ++i) {
    ASSERT_EQ(results[i].wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const ZPResponse response = results[i].get();
    ASSERT_TRUE(response.isSuccess()) << response.logString();
    EXPECT_EQ(zephyl::test::readBytes(response.getFile()), bodies[i]);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double idealSeconds = static_cast<double>(kSize) * GetParam().downloads / kLimit;
  EXPECT_GE(seconds, 0.7 * idealSeconds);
}

INSTANTIATE_TEST_SUITE_P(Limits, HeldDownloadTest,
                         testing::Values(LimitCase{"RequestLimit", false, 1},
                                         LimitCase{"ManagerLimitSharedByTwo", true, 2}),
                         [](const testing::TestParamInfo<LimitCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(RateLimitsTest, LimitChangedWhileRunningSlowsThenFreesTheDownload) {
  constexpr size_t kSize = 4096 * kKiB;
  const std::vector<uint8_t> body = serve("/file", kSize, 3);
  zephyl::test::Misbehaviour paced;  // unlimited, the download would end after 2 s
  paced.bytesPerSecond = 2048 * kKiB;
  server_.setMisbehaviour("/file", paced);
  Zephyl manager(settings_);
  ZPRequest request(server_.url("/file"));
  std::future<ZPResponse> result = enqueue(manager, request);
  ASSERT_GT(storedOnceStarted(manager, request.url), 0);
  // Lowered to 32 KiB/s: over 1.5 s it stores a few held buffers at most, not 3 MiB.
  ASSERT_TRUE(manager.setRequestMaxBytesPerSecond(request.getRequestId(), 32 * kKiB));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // buffers already taken in
  int64_t before = 0;
  ASSERT_TRUE(manager.fetchProgress(request.url, &before, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int64_t after = 0;
  ASSERT_TRUE(manager.fetchProgress(request.url, &after, nullptr));
  EXPECT_LT(after - before, 1024 * kKiB);
  EXPECT_LT(after, static_cast<int64_t>(kSize));
  // Lifted: it finishes (held for longer than the stall time, it did not fail).
  ASSERT_TRUE(manager.setRequestMaxBytesPerSecond(request.getRequestId(), 0));
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const ZPResponse response = result.get();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(zephyl::test::readBytes(response.getFile()), body);
  EXPECT_FALSE(manager.setRequestMaxBytesPerSecond(request.getRequestId(), 1));
}

TEST_F(RateLimitsTest, HeldBackDownloadCancelsPromptly) {
  serve("/file", 2048 * kKiB, 4);
  settings_.maxBytesPerSecond = 16 * kKiB;
  // No attempt left: the transfers the cancel cuts must not turn the cancel into a failure.
  settings_.httpPolicy.executeRetryCount = 0;
  Zephyl manager(settings_);
  ZPRequest request(server_.url("/file"));
  std::future<ZPResponse> result = enqueue(manager, request);
  ASSERT_GT(storedOnceStarted(manager, request.url), 0);
  const auto cancelledAt = Clock::now();
  manager.cancelByRequest(request.getRequestId());
  ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const ZPResponse response = result.get();
  EXPECT_TRUE(response.isCancelled()) << response.logString();
  // A held transfer notices the cancellation at its next wake, a tenth of a second away.
  EXPECT_LT(Clock::now() - cancelledAt, std::chrono::seconds(2));
}

// From enqueue's return until its onComplete has run, every call by a request's id finds it: the
// moment a task thread takes it off the queue is no gap. Each round queues a download and at once
// changes its rate, over and over until its onComplete runs (which waits until the test stopped
// calling); every third round cancels it first, and it must end cancelled.
TEST_F(RateLimitsTest, QueuedIdIsFoundFromEnqueueUntilItsCompletion) {
  serve("/small", 2 * kKiB, 7);
  std::vector<uint8_t> slowBody = patternBytes(2 * kKiB, 8);
  zephyl::test::Misbehaviour slow;
  slow.delayMs = 100;  // a cancel right after enqueue always comes before this download ends
  server_.serve("/slow", slowBody, slow);
  Zephyl manager(settings_);
  for (int round = 0; round < 300; ++round) {
    const bool cancelling = round % 3 == 2;
    ZPRequest request(server_.url(cancelling ? "/slow" : "/small"));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    auto completing = std::make_shared<std::atomic<bool>>(false);
    auto looked = std::make_shared<std::promise<void>>();
    std::shared_future<void> lookedOnce = looked->get_future().share();
    std::future<ZPResponse> result;
    {
      auto done = std::make_shared<std::promise<ZPResponse>>();
      result = done->get_future();
      // A request the cancel took off the queue completes on the cancelling thread: no wait.
      request.onComplete = [done, completing, lookedOnce, test = std::this_thread::get_id()](
                               const ZPRequest&, const ZPResponse& response) {
        completing->store(true);
        if (std::this_thread::get_id() != test) lookedOnce.wait_for(std::chrono::seconds(5));
        done->set_value(response);
      };
    }
    manager.enqueue(request);
    const int id = request.getRequestId();
    if (cancelling) manager.cancelByRequest(id);
    bool found = true;
    for (int spins = 0; spins < 10000000 && !completing->load() && found; ++spins) {
      found = manager.setRequestMaxBytesPerSecond(id, 0);
    }
    looked->set_value();
    EXPECT_TRUE(found) << "round " << round << ": id " << id << " not found before completion";
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << round;
    const ZPResponse response = result.get();
    EXPECT_EQ(response.isCancelled(), cancelling) << "round " << round << " "
                                                  << response.logString();
  }
}

}  // namespace
