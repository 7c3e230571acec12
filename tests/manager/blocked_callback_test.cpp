// A host callback that blocks holds up its own download only: every transfer of a manager runs on
// one loop, and a download whose stream receiver or progress listener does not return must not
// keep another download of the same manager from finishing. The blocked callback is released by
// the test (or after a bound), so nothing waits forever.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::patternBytes;

constexpr auto kWaitLimit = std::chrono::seconds(20);

struct Case {
  const char* name;
  int outputType;  // of the download whose callback blocks
};

class BlockedCallbackTest : public testing::TestWithParam<Case>,
                            protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.taskThreadNum = 2;
    settings_.threadNum = 2;
    server_.serve("/blocked", patternBytes(1024 * 1024, 21));
    server_.serve("/other", other_);
  }

  // The request whose stream receiver or progress listener blocks at its first call until
  // release_ is set; entered_ is told when it blocks.
  ZPRequest blockingRequest() {
    ZPRequest request(server_.url("/blocked"));
    request.outputType = GetParam().outputType;
    auto block = [this] {
      if (blocking_.exchange(false)) {
        entered_.set_value();
        (void)released_.wait_for(kWaitLimit);
        stillBlocked_ = false;
      }
    };
    if (request.outputType == ZPRequest::OUTPUT_STREAM) {
      request.onData = [block](const ZPRequest&, const char*, size_t) {
        block();
        return true;
      };
    } else {
      request.onProgress = [block](const ZPRequest&, int64_t, int64_t) { block(); };
    }
    request.onComplete = [this](const ZPRequest&, const ZPResponse& response) {
      blockedResult_.set_value(response.resultCode);
    };
    return request;
  }

  const std::vector<uint8_t> other_ = patternBytes(3 * 1024 * 1024 + 17, 22);
  std::atomic<bool> blocking_{true};
  std::atomic<bool> stillBlocked_{true};
  std::promise<void> entered_;
  std::promise<void> release_;
  std::shared_future<void> released_{release_.get_future().share()};
  std::promise<int> blockedResult_;
};

TEST_P(BlockedCallbackTest, OtherDownloadFinishesWhileOneCallbackIsBlocked) {
  Zephyl manager(settings_);
  manager.enqueue(blockingRequest());
  ASSERT_EQ(entered_.get_future().wait_for(kWaitLimit), std::future_status::ready);

  ZPRequest other(server_.url("/other"));
  other.outputType = ZPRequest::OUTPUT_MEMORY;
  const ZPResponse response = manager.execute(other);
  // The other download finished, all of it, while the callback was still held.
  const bool otherEndedFirst = stillBlocked_.load();
  release_.set_value();
  EXPECT_TRUE(otherEndedFirst);
  ASSERT_EQ(response.resultCode, ZPResponse::RESULT_SUCCESS) << response.errorMsg;
  ASSERT_NE(response.outputData, nullptr);
  EXPECT_EQ(*response.outputData, other_);

  auto blocked = blockedResult_.get_future();
  ASSERT_EQ(blocked.wait_for(kWaitLimit), std::future_status::ready);
  EXPECT_EQ(blocked.get(), ZPResponse::RESULT_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Sinks, BlockedCallbackTest,
                         testing::Values(Case{"StreamReceiver", ZPRequest::OUTPUT_STREAM},
                                         Case{"ProgressListener", ZPRequest::OUTPUT_CHUNK_FILE}),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
