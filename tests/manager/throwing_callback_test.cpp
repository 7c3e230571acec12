// Host callbacks that throw, through the public manager: the throw is logged with the callback's
// name and changes nothing else. Every download still delivers its bytes, every request completes
// exactly once, finished tasks are forgotten, batches complete and cancelAll completes the queue.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kBlock = zephyl::test::LoopbackDownload::kTestBlock;
constexpr auto kWaitLimit = std::chrono::seconds(20);

// Every callback call by name and key (a request id, or 10 * batch number + index) with the
// last response it carried, recorded before the callback named `thrower` throws.
class CallLog {
 public:
  explicit CallLog(std::string thrower) : thrower_(std::move(thrower)) {}

  void called(const std::string& name, int key, const ZPResponse& response = ZPResponse()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_[{name, key}];
      responses_[{name, key}] = response;
    }
    changed_.notify_all();
    if (name == thrower_) throw std::runtime_error(name + " failed in the host");
  }
  int count(const std::string& name, int key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[{name, key}];
  }
  ZPResponse response(const std::string& name, int key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return responses_[{name, key}];
  }
  // Waits until name has been called for key; false after kWaitLimit.
  bool waitFor(const std::string& name, int key) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] { return counts_[{name, key}] > 0; });
  }

 private:
  const std::string thrower_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::pair<std::string, int>, int> counts_;            // guarded by mutex_
  std::map<std::pair<std::string, int>, ZPResponse> responses_;  // guarded by mutex_
};

void expectDelivered(ZPResponse response, const Bytes& body) {
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_EQ(*response.getData(), body);
}

class ThrowingCallbackTest : public testing::TestWithParam<const char*>,
                             protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.taskThreadNum = 1;
    server_.serve("/a.bin", bodyA_);
    server_.serve("/b.bin", bodyB_);
    Misbehaviour stalling;
    stalling.stallAfterBytes = 10;
    stalling.stallMs = 8000;
    server_.serve("/slow.bin", patternBytes(2 * kBlock, 3), stalling);
  }
  void TearDown() override { Zephyl::setLogLevel(ZPLogLevel::None); }

  ZPRequest request(const std::string& path) {
    ZPRequest made(server_.url(path));
    made.outputType = ZPRequest::OUTPUT_MEMORY;
    made.onStart = [this](const ZPRequest& r) { log_.called("onStart", r.getRequestId()); };
    made.onProgress = [this](const ZPRequest& r, int64_t, int64_t) {
      log_.called("onProgress", r.getRequestId());
    };
    made.onComplete = [this](const ZPRequest& r, const ZPResponse& response) {
      log_.called("onComplete", r.getRequestId(), response);
    };
    return made;
  }

  // A batch of /a.bin and /b.bin whose callbacks report under keys 10 * number + index.
  ZPBatchRequest batch(int number) {
    ZPBatchRequest made({request("/a.bin"), request("/b.bin")});
    made.onRequestStart = [this, number](const ZPBatchRequest&, int index) {
      log_.called("onRequestStart", 10 * number + index);
    };
    made.onRequestProgress = [this, number](const ZPBatchRequest&, int index, int64_t, int64_t,
                                            int) {
      log_.called("onRequestProgress", 10 * number + index);
    };
    made.onRequestComplete = [this, number](const ZPBatchRequest&, int index,
                                            const ZPResponse& response) {
      log_.called("onRequestComplete", 10 * number + index, response);
    };
    made.onBatchComplete = [this, number](const ZPBatchRequest&, const std::vector<ZPResponse>&) {
      log_.called("onBatchComplete", 10 * number);
    };
    return made;
  }

  void runEveryPath();

  const Bytes bodyA_ = patternBytes(3 * kBlock + 7, 1);
  const Bytes bodyB_ = patternBytes(2 * kBlock + 1, 2);
  CallLog log_{GetParam()};
};

// The whole course of one manager with one throwing callback.
void ThrowingCallbackTest::runEveryPath() {
  Zephyl manager(settings_);

  // execute: the download, its single onStart and onComplete, and a registry that lets go of the
  // finished task (a listed task would still answer fetchProgress for this memory download).
  ZPRequest single = request("/a.bin");
  expectDelivered(manager.execute(single), bodyA_);
  EXPECT_EQ(log_.count("onStart", single.getRequestId()), 1);
  EXPECT_EQ(log_.count("onComplete", single.getRequestId()), 1);
  int64_t downloaded = -1;
  int64_t total = -1;
  EXPECT_FALSE(manager.fetchProgress(single.getUrl(), &downloaded, &total));

  // batchExecute returns every response; each batch callback runs once per request.
  const std::vector<ZPResponse> responses = manager.batchExecute(batch(1));
  ASSERT_EQ(responses.size(), 2u);
  expectDelivered(responses[0], bodyA_);
  expectDelivered(responses[1], bodyB_);
  for (int index : {0, 1}) {
    EXPECT_EQ(log_.count("onRequestStart", 10 + index), 1) << index;
    EXPECT_EQ(log_.count("onRequestComplete", 10 + index), 1) << index;
  }
  EXPECT_EQ(log_.count("onBatchComplete", 10), 1);

  // cancelAll behind a stalled download on the only task thread completes the whole queue (a
  // request, a batch, a request: a throw at any of them must not stop the rest) and the stalled
  // download itself.
  ZPRequest stalled = request("/slow.bin");
  const size_t seenBefore = server_.requestCount();
  manager.enqueue(stalled);
  ASSERT_TRUE(server_.waitForRequests(seenBefore + 1, 10000));
  std::vector<ZPRequest> queued{request("/a.bin"), request("/b.bin")};
  manager.enqueue(queued[0]);
  manager.batchEnqueue(batch(2));
  manager.enqueue(queued[1]);
  manager.cancelAll();
  for (const ZPRequest& cancelled : queued) {
    EXPECT_EQ(log_.count("onComplete", cancelled.getRequestId()), 1);
    EXPECT_EQ(log_.count("onStart", cancelled.getRequestId()), 0);
    EXPECT_TRUE(log_.response("onComplete", cancelled.getRequestId()).isCancelled());
  }
  for (int index : {0, 1}) {
    EXPECT_TRUE(log_.response("onRequestComplete", 20 + index).isCancelled()) << index;
  }
  EXPECT_EQ(log_.count("onBatchComplete", 20), 1);
  ASSERT_TRUE(log_.waitFor("onComplete", stalled.getRequestId()));
  EXPECT_FALSE(log_.response("onComplete", stalled.getRequestId()).isSuccess());
  EXPECT_EQ(log_.count("onComplete", stalled.getRequestId()), 1);
}

TEST_P(ThrowingCallbackTest, ThrowIsLoggedAndChangesNothingElse) {
  const std::string thrower = GetParam();
  Zephyl::setLogLevel(ZPLogLevel::Error);
  testing::internal::CaptureStdout();
  runEveryPath();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find(thrower + " threw: " + thrower + " failed in the host"), std::string::npos)
      << output;
}

INSTANTIATE_TEST_SUITE_P(Callbacks, ThrowingCallbackTest,
                         testing::Values("onStart", "onProgress", "onComplete", "onRequestStart",
                                         "onRequestProgress", "onRequestComplete",
                                         "onBatchComplete"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
