// Several host threads issue a random mix of every manager operation on a handful of URLs. Every
// request must complete exactly once, nothing may deadlock, and every success must be byte-exact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::md5HexOf;
using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;

constexpr int kUrls = 4;
constexpr int kThreads = 4;
constexpr auto kActivity = std::chrono::milliseconds(2500);
constexpr auto kDrainLimit = std::chrono::seconds(60);

// Every request issued and every onComplete seen, by request id.
class Ledger {
 public:
  void issued(int requestId, int urlIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    urlOf_[requestId] = urlIndex;
  }
  void completed(int requestId, const ZPResponse& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++completions_[requestId];
    responses_[requestId] = response;
    changed_.notify_all();
  }
  bool waitAllCompleted(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return completions_.size() >= urlOf_.size(); });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, int> urlOf_;        // guarded by mutex_
  std::map<int, int> completions_;  // guarded by mutex_
  std::map<int, ZPResponse> responses_;
};

TEST(ZephylStressTest, RandomOperationsCompleteEveryRequestExactlyOnce) {
  zephyl::test::TempDir dir;
  zephyl::test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  std::vector<std::string> urls;
  std::vector<std::string> digests;
  for (int i = 0; i < kUrls; ++i) {
    Misbehaviour misbehaviour;
    if (i == 1) misbehaviour.cutFirst = 3, misbehaviour.cutAfterBytes = 1000;
    if (i == 2) misbehaviour.stallAfterBytes = 5000, misbehaviour.stallMs = 200;
    const std::vector<uint8_t> body = patternBytes(20000 + 7777 * i, i + 1);
    const std::string path = "/stress" + std::to_string(i);
    server.serve(path, body, misbehaviour);
    urls.push_back(server.url(path));
    digests.push_back(md5HexOf(body));
  }
  ZPSetting settings(dir.file("root"), dir.file("save"));
  settings.blockSize = 4096;
  settings.httpPolicy.retryDelayMs = 20;
  Ledger ledger;
  {
    Zephyl manager(settings);
    auto makeRequest = [&](std::mt19937& random) {
      const int urlIndex = static_cast<int>(random() % kUrls);
      ZPRequest request(urls[urlIndex]);
      request.outputType = static_cast<int>(random() % 3);
      request.renameIfExists = 1;
      request.highPriority = random() % 4 == 0;
      request.onComplete = [&ledger](const ZPRequest& r, const ZPResponse& response) {
        ledger.completed(r.getRequestId(), response);
      };
      ledger.issued(request.getRequestId(), urlIndex);
      return request;
    };
    std::vector<std::thread> threads;
    const auto end = std::chrono::steady_clock::now() + kActivity;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(1234 + t);
        std::vector<int> mine;
        while (std::chrono::steady_clock::now() < end) {
          switch (random() % 9) {
            case 0:
            case 1: {
              ZPRequest request = makeRequest(random);
              mine.push_back(request.getRequestId());
              manager.execute(request);
              break;
            }
            case 2:
            case 3: {
              ZPRequest request = makeRequest(random);
              mine.push_back(request.getRequestId());
              manager.enqueue(request);
              break;
            }
            case 4: {
              std::vector<ZPRequest> requests{makeRequest(random), makeRequest(random)};
              ZPBatchRequest batch(requests);
              // A batch's requests report through the batch, never through their own callbacks.
              batch.onBatchComplete = [&ledger, requests](const ZPBatchRequest&,
                                                          const std::vector<ZPResponse>& rs) {
                for (size_t i = 0; i < requests.size(); ++i) {
                  ledger.completed(requests[i].getRequestId(), rs[i]);
                }
              };
              if (random() % 2 == 0) {
                EXPECT_EQ(manager.batchExecute(batch).size(), 2u);
              } else {
                manager.batchEnqueue(batch);
              }
              break;
            }
            case 5:
              if (!mine.empty()) manager.cancelByRequest(mine[random() % mine.size()]);
              break;
            case 6:
              manager.cancelByUrl(urls[random() % kUrls]);
              break;
            case 7: {
              int64_t downloaded = 0, total = 0;
              manager.fetchProgress(urls[random() % kUrls], &downloaded, &total);
              break;
            }
            case 8:
              if (random() % 8 == 0) {
                manager.removeAllCache();
              } else {
                manager.removeCacheByUrl(urls[random() % kUrls]);
              }
              break;
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(ledger.waitAllCompleted(kDrainLimit)) << "requests never completed";
  }
  std::lock_guard<std::mutex> lock(ledger.mutex_);
  int successes = 0;
  for (const auto& [requestId, urlIndex] : ledger.urlOf_) {
    auto count = ledger.completions_.find(requestId);
    ASSERT_NE(count, ledger.completions_.end()) << requestId;
    EXPECT_EQ(count->second, 1) << "request " << requestId;
    ZPResponse response = ledger.responses_[requestId];
    if (response.isSuccess()) {
      ++successes;
      EXPECT_EQ(response.getMd5Etag(), digests[urlIndex]) << "request " << requestId;
    }
  }
  EXPECT_GT(successes, 0);
}

}  // namespace
