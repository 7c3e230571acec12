// Queued requests and taskThreadNum: a download whose bytes are all stored lets the next queued
// request start its transfer while it is delivered and its onComplete runs, yet every callback
// still comes after its delivery. With taskThreadNum 1, one download's held onComplete shows
// which others may run beside it, without any timing.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/file_contents.h"
#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using Bytes = std::vector<uint8_t>;
using zephyl::test::patternBytes;
using zephyl::test::readBytes;

constexpr int64_t kBlock = zephyl::test::LoopbackDownload::kTestBlock;
constexpr auto kWaitLimit = std::chrono::seconds(20);

// Named events the callbacks report and wait for, every wait bounded.
class Events {
 public:
  void note(const std::string& event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_[event];
    }
    changed_.notify_all();
  }
  bool waitFor(const std::string& event, int count = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] { return counts_[event] >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, int> counts_;  // guarded by mutex_
};

class QueuedTransferTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.taskThreadNum = 1;
    for (const std::string name : {"a", "b", "c"}) {
      bodies_[name] = patternBytes(3 * kBlock + 5, static_cast<uint32_t>(name[0]));
      server_.serve("/" + name, bodies_[name]);
    }
  }

  // Requests for the file name, saved under its own name in the save directory; its onComplete
  // notes "<name> delivered" when the response names the whole file in place (a callback before
  // the delivery would find no file or a short one), then runs whileHeld.
  ZPRequest request(const std::string& name, std::function<void()> whileHeld = nullptr) {
    ZPRequest made(server_.url("/" + name));
    made.outputType = ZPRequest::OUTPUT_FILE;
    made.savePath = dir_.file("save/" + name);
    made.onComplete = [this, name, whileHeld](const ZPRequest&, const ZPResponse& response) {
      if (response.isSuccess() && readBytes(response.getFile()) == bodies_[name]) {
        events_.note(name + " delivered");
      }
      if (whileHeld) whileHeld();
      events_.note(name + " completed");
    };
    return made;
  }

  // Requests the server has seen for the file name.
  int requestsFor(const std::string& name) const {
    int count = 0;
    for (const zephyl::test::SeenRequest& seen : server_.requests()) {
      if (seen.target == "/" + name) ++count;
    }
    return count;
  }

  // Waits, bounded, until the server has seen a request for the file name.
  bool waitForRequestFor(const std::string& name) const {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (requestsFor(name) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  std::map<std::string, Bytes> bodies_;
  Events events_;
};

// With a single task thread before, b could start only after a's onComplete returned: a waits in
// its onComplete for b's request, which comes only once a has given its transfer back.
TEST_F(QueuedTransferTest, NextTransferStartsWhileTheFinishedDownloadIsStillRunning) {
  Zephyl manager(settings_);
  bool bArrivedWhileAHeld = false;
  manager.enqueue(request("a", [&] { bArrivedWhileAHeld = waitForRequestFor("b"); }));
  manager.enqueue(request("b"));
  ASSERT_TRUE(events_.waitFor("a completed"));
  ASSERT_TRUE(events_.waitFor("b completed"));
  EXPECT_TRUE(bArrivedWhileAHeld);
  EXPECT_TRUE(events_.waitFor("a delivered"));
  EXPECT_TRUE(events_.waitFor("b delivered"));
}

// a runs on after its transfer and so fills the one place for that: b, finishing while a is
// still held, must keep its transfer slot to its end, and c cannot start before one of them ends.
TEST_F(QueuedTransferTest, AtMostTaskThreadNumDownloadsRunOnAfterTheirTransfer) {
  Zephyl manager(settings_);
  int cRequestsWhileBothHeld = -1;
  manager.enqueue(request("a", [&] {
    if (!events_.waitFor("b holding")) return;
    cRequestsWhileBothHeld = requestsFor("c");
    events_.note("a released");
  }));
  manager.enqueue(request("b", [&] {
    events_.note("b holding");
    events_.waitFor("a released");
  }));
  manager.enqueue(request("c"));
  for (const char* name : {"a", "b", "c"}) {
    ASSERT_TRUE(events_.waitFor(std::string(name) + " completed")) << name;
    EXPECT_TRUE(events_.waitFor(std::string(name) + " delivered")) << name;
  }
  EXPECT_EQ(cRequestsWhileBothHeld, 0);
  EXPECT_GT(requestsFor("c"), 0);
}

// A batch completes only after every delivery of its requests, even though each request's
// transfer slot went to the next one before its delivery.
TEST_F(QueuedTransferTest, BatchCompletesAfterEveryDelivery) {
  Zephyl manager(settings_);
  std::vector<ZPRequest> requests;
  for (const std::string name : {"a", "b", "c"}) requests.push_back(request(name));
  ZPBatchRequest batch(requests);
  int deliveredAtBatchEnd = 0;
  batch.onBatchComplete = [&](const ZPBatchRequest&, const std::vector<ZPResponse>& responses) {
    const char* names[] = {"a", "b", "c"};
    for (size_t i = 0; i < responses.size() && i < 3; ++i) {
      if (readBytes(responses[i].getFile()) == bodies_[names[i]]) ++deliveredAtBatchEnd;
    }
  };
  const std::vector<ZPResponse> responses = manager.batchExecute(batch);
  ASSERT_EQ(responses.size(), 3u);
  EXPECT_EQ(deliveredAtBatchEnd, 3);
}

// A download pausing before its next attempt holds no transfer slot: with one task thread, the
// next queued request runs to its end during the pause (which outlasts the test's wait limit).
TEST_F(QueuedTransferTest, PauseBeforeARepeatLeavesTheSlotToTheNextRequest) {
  zephyl::test::Misbehaviour failing;
  failing.failFirst = 1000;
  server_.serve("/failing", patternBytes(100), failing);
  settings_.httpPolicy.serverErrorRetryCount = 0;
  settings_.httpPolicy.executeRetryCount = 1;
  settings_.httpPolicy.retryDelayMs = 60000;
  Zephyl manager(settings_);
  ZPRequest first(server_.url("/failing"));
  first.onComplete = [this](const ZPRequest&, const ZPResponse&) { events_.note("failing done"); };
  manager.enqueue(first);
  manager.enqueue(request("a"));
  EXPECT_TRUE(events_.waitFor("a delivered"));
  EXPECT_EQ(requestsFor("failing"), 1) << "the failing download is still in its pause";
  // The pause ends with the cancel; the download then takes a slot again and ends.
  manager.cancelAll();
  EXPECT_TRUE(events_.waitFor("failing done"));
}

}  // namespace
