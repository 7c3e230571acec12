// Threads a manager holds while it has nothing to do: none of its own beyond a small bound,
// whatever taskThreadNum is, both right after construction and once a burst of queued downloads
// is over. Counted the way the system counts them (/proc on Linux, a Toolhelp snapshot on
// Windows), so that a thread left behind shows whoever started it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine/thread_pool.h"
#include "support/loopback_download.h"
#include "support/thread_count.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::patternBytes;
using zephyl::test::processThreadCount;

// Threads an idle manager may hold.
constexpr int kIdleBound = 2;

class IdleThreadsTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    // The server's own threads (one per open connection) are counted too: every request asks it
    // to close the connection after its answer, so none of them outlives the burst.
    baseline_ = processThreadCount();
    ASSERT_GT(baseline_, 0);
  }

  // Polls until the process is back within kIdleBound threads of the baseline, for at most a
  // worker's idle lifetime and ten seconds more; the last count seen.
  int settledThreadCount() const {
    const auto deadline = std::chrono::steady_clock::now() +
                          zephyl::ThreadPool::kIdleWorkerLifetime + std::chrono::seconds(10);
    int count = processThreadCount();
    while (count > baseline_ + kIdleBound && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      count = processThreadCount();
    }
    return count;
  }

  int baseline_ = 0;
};

TEST_F(IdleThreadsTest, IdleManagerHoldsNoMoreThanTwoThreadsWhateverTaskThreadNum) {
  settings_.taskThreadNum = 64;
  Zephyl manager(settings_);
  EXPECT_LE(processThreadCount(), baseline_ + kIdleBound);
}

TEST_F(IdleThreadsTest, ManagerGoesBackToTheIdleBoundAfterABurstOfQueuedDownloads) {
  settings_.taskThreadNum = 8;
  constexpr int kDownloads = 96;  // twelve times taskThreadNum
  std::vector<ZPRequest> requests;
  for (int i = 0; i < kDownloads; ++i) {
    const std::string path = "/file" + std::to_string(i);
    // A few blocks each, so that a download also runs chunk transfers beside its first one.
    server_.serve(path, patternBytes(3 * kTestBlock + 17, static_cast<uint32_t>(i + 1)));
    ZPRequest request(server_.url(path));
    request.headers.emplace_back("Connection", "close");
    requests.push_back(request);
  }
  ZPBatchRequest batch(requests);
  std::atomic<int> busiest{0};
  batch.onRequestStart = [&busiest](const ZPBatchRequest&, int) {
    const int now = processThreadCount();
    int seen = busiest.load();
    while (now > seen && !busiest.compare_exchange_weak(seen, now)) {
    }
  };

  Zephyl manager(settings_);
  const std::vector<ZPResponse> responses = manager.batchExecute(batch);
  ASSERT_EQ(responses.size(), static_cast<size_t>(kDownloads));
  for (size_t i = 0; i < responses.size(); ++i) {
    ASSERT_TRUE(responses[i].isSuccess()) << "download " << i << ": " << responses[i].errorMsg;
  }
  // Otherwise the burst proves nothing about threads coming back.
  ASSERT_GT(busiest.load(), baseline_ + kIdleBound);

  const int settled = settledThreadCount();
  EXPECT_LE(settled, baseline_ + kIdleBound)
      << busiest.load() << " threads at the busiest, " << baseline_ << " before the manager";
}

}  // namespace
