// TransferLoop against a loopback server of the test's own: many transfers on its one thread, no
// more at once than its bound, each told its end once, and a transfer ended by its own check.
#include "engine/transfer_loop.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_http_server.h"

namespace zephyl {
namespace {

using test::Misbehaviour;
using test::patternBytes;
using test::TestHttpServer;

constexpr auto kWaitLimit = std::chrono::seconds(20);

// What the transfers of one test saw, shared by them; any thread reads it under its lock.
struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  int mostRunning = 0;
  std::vector<CURLcode> results;
  std::set<std::thread::id> threads;

  bool waitForEnds(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, [&] { return results.size() >= count; });
  }
};

// A GET of url that counts its bytes; ends itself (check) once it has seen stopAfterBytes.
class CountingTransfer : public LoopTransfer {
 public:
  CountingTransfer(Journal& journal, std::string url, int64_t stopAfterBytes = -1)
      : journal_(journal), url_(std::move(url)), stopAfterBytes_(stopAfterBytes) {}

  bool start(CurlEasy& easy) override {
    if (!easy.open()) return false;
    bool set = curl_easy_setopt(easy.get(), CURLOPT_URL, url_.c_str()) == CURLE_OK;
    set = set && curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &onBody) == CURLE_OK;
    set = set && curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, this) == CURLE_OK;
    note(+1);
    return set;
  }
  CURLcode check(std::chrono::steady_clock::time_point, int*) override {
    note(0);
    return stopAfterBytes_ >= 0 && bytes_ >= stopAfterBytes_ ? CURLE_ABORTED_BY_CALLBACK
                                                            : CURLE_OK;
  }
  void finish(CURL*, CURLcode result) override {
    note(-1);
    std::lock_guard<std::mutex> lock(journal_.mutex);
    journal_.results.push_back(result);
    journal_.changed.notify_all();
  }

  int64_t bytes() const { return bytes_; }

 private:
  static size_t onBody(char*, size_t size, size_t count, void* self) {
    static_cast<CountingTransfer*>(self)->bytes_ += static_cast<int64_t>(size * count);
    return size * count;
  }
  void note(int change) {
    std::lock_guard<std::mutex> lock(journal_.mutex);
    journal_.running += change;
    journal_.mostRunning = std::max(journal_.mostRunning, journal_.running);
    journal_.threads.insert(std::this_thread::get_id());
  }

  Journal& journal_;
  const std::string url_;
  const int64_t stopAfterBytes_;
  int64_t bytes_ = 0;  // loop thread only; read by the test after the end
};

class TransferLoopTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.started()); }

  TestHttpServer server_;
  Journal journal_;
};

TEST_F(TransferLoopTest, RunsEveryTransferOnOneThreadNoMoreAtOnceThanItsBound) {
  Misbehaviour slow;
  slow.delayMs = 50;  // so that queued transfers meet running ones
  server_.serve("/file", patternBytes(64 * 1024, 3), slow);
  std::vector<std::shared_ptr<CountingTransfer>> transfers;
  {
    TransferLoop loop(3);
    for (int i = 0; i < 12; ++i) {
      transfers.push_back(std::make_shared<CountingTransfer>(journal_, server_.url("/file")));
      ASSERT_TRUE(loop.add(transfers.back(), nullptr));
    }
    ASSERT_TRUE(journal_.waitForEnds(transfers.size()));
  }
  std::lock_guard<std::mutex> lock(journal_.mutex);
  EXPECT_EQ(journal_.results, std::vector<CURLcode>(transfers.size(), CURLE_OK));
  for (const auto& transfer : transfers) EXPECT_EQ(transfer->bytes(), 64 * 1024);
  EXPECT_EQ(journal_.threads.size(), 1u);
  EXPECT_NE(*journal_.threads.begin(), std::this_thread::get_id());
  EXPECT_LE(journal_.mostRunning, 3);
  EXPECT_GE(journal_.mostRunning, 2);
}

TEST_F(TransferLoopTest, CheckEndsAStalledTransferWhileAnotherRunsOn) {
  Misbehaviour stalling;
  stalling.stallAfterBytes = 16 * 1024;
  stalling.stallMs = 10000;
  server_.serve("/stalls", patternBytes(256 * 1024, 4), stalling);
  server_.serve("/file", patternBytes(256 * 1024, 5));
  auto stalled = std::make_shared<CountingTransfer>(journal_, server_.url("/stalls"), 1);
  auto whole = std::make_shared<CountingTransfer>(journal_, server_.url("/file"));
  const auto began = std::chrono::steady_clock::now();
  {
    TransferLoop loop(4);
    ASSERT_TRUE(loop.add(stalled, nullptr));
    ASSERT_TRUE(loop.add(whole, nullptr));
    ASSERT_TRUE(journal_.waitForEnds(2));
  }
  // Ended by its check, not by the server's stall running out.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(8));
  std::lock_guard<std::mutex> lock(journal_.mutex);
  EXPECT_EQ(std::count(journal_.results.begin(), journal_.results.end(), CURLE_OK), 1);
  EXPECT_EQ(std::count(journal_.results.begin(), journal_.results.end(),
                       CURLE_ABORTED_BY_CALLBACK),
            1);
  EXPECT_EQ(whole->bytes(), 256 * 1024);
  EXPECT_GE(stalled->bytes(), 1);
}

}  // namespace
}  // namespace zephyl
