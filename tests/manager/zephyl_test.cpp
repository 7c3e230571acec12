// The manager end to end through its public interface, against loopback servers of the test's own.
#include "zephyl/zephyl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "diagnostics/utilities.h"
#include "pelvar/pelvar.h"
#include "support/file_contents.h"
#include "support/loopback_download.h"

namespace {

using zephyl::test::md5HexOf;
using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using zephyl::test::readBytes;

constexpr int64_t kBlock = zephyl::test::LoopbackDownload::kTestBlock;
constexpr auto kWaitLimit = std::chrono::seconds(20);

// Collects onComplete calls of asynchronous requests and waits for them, bounded.
class Completions {
 public:
  ZPRequest::CompleteCallback callback() {
    return [this](const ZPRequest& request, const ZPResponse& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      order_.push_back(request.getRequestId());
      responses_[request.getRequestId()].push_back(response);
      changed_.notify_all();
    };
  }
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] { return order_.size() >= count; });
  }
  std::vector<int> order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }
  std::vector<ZPResponse> responsesOf(int requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    return responses_[requestId];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> order_;
  std::map<int, std::vector<ZPResponse>> responses_;
};

class ZephylTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.started()); }

  // A resource that stalls mid-body for up to stallMs, so that it is still running when a test
  // acts on it.
  void serveSlow(const std::string& path, int stallMs = 3000) {
    Misbehaviour slow;
    slow.stallAfterBytes = 10;
    slow.stallMs = stallMs;
    server_.serve(path, patternBytes(2 * kBlock), slow);
  }
};

TEST_F(ZephylTest, EmptyUrlIsRefusedThroughOnComplete) {
  Zephyl manager(settings_);
  ZPRequest request;
  bool started = false;
  int completed = 0;
  request.onStart = [&](const ZPRequest&) { started = true; };
  request.onComplete = [&](const ZPRequest&, const ZPResponse& response) {
    ++completed;
    EXPECT_EQ(response.getErrorCode(), ZPResponse::ILLEGAL_URL);
  };
  ZPResponse response = manager.execute(request);
  EXPECT_EQ(response.getResultCode(), ZPResponse::RESULT_FAILED);
  EXPECT_EQ(response.getErrorMsg(), "error: empty url");
  EXPECT_FALSE(started);
  EXPECT_EQ(completed, 1);
}

TEST_F(ZephylTest, ExecuteDeliversEveryOutputByteExact) {
  const std::vector<uint8_t> body = patternBytes(3 * kBlock + 17);
  server_.serve("/a.bin", body);
  Zephyl manager(settings_);
  for (int type :
       {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE, ZPRequest::OUTPUT_MEMORY}) {
    ZPRequest request(server_.url("/a.bin"));
    request.outputType = type;
    request.savePath = dir_.file("out/" + std::to_string(type) + "/a.bin");
    std::vector<std::string> events;
    request.onStart = [&](const ZPRequest&) { events.push_back("start"); };
    request.onComplete = [&](const ZPRequest&, const ZPResponse&) { events.push_back("done"); };
    ZPResponse response = manager.execute(request);
    ASSERT_TRUE(response.isSuccess()) << response.logString();
    EXPECT_EQ(response.getMd5Etag(), md5HexOf(body));
    EXPECT_EQ(events, (std::vector<std::string>{"start", "done"}));
    if (type != ZPRequest::OUTPUT_MEMORY) {
      EXPECT_EQ(response.getFile(), request.savePath);
    }
  }
}

// The host's identity strings reach the metrics library with the downloads they started.
TEST_F(ZephylTest, HostIdentityReachesTheMetricsLibrary) {
  server_.serve("/id.bin", patternBytes(100));
  Zephyl::gid = "host-gid";
  Zephyl::uid = "host-uid";
  Zephyl manager(settings_);
  const ZPResponse response = manager.execute(ZPRequest(server_.url("/id.bin")));
  const std::string gid = Pelvar::gid;
  const std::string uid = Pelvar::globalUid;
  Zephyl::gid.clear();
  Zephyl::uid.clear();
  Pelvar::gid.clear();
  Pelvar::globalUid.clear();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(gid, "host-gid");
  EXPECT_EQ(uid, "host-uid");
}

TEST_F(ZephylTest, ConcurrentRequestsForOneUrlShareOneDownload) {
  serveSlow("/shared", 300);
  Zephyl manager(settings_);
  constexpr int kCallers = 4;
  std::vector<ZPResponse> responses(kCallers);
  std::atomic<int> progressCalls{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      ZPRequest request(server_.url("/shared"));
      request.outputType = ZPRequest::OUTPUT_MEMORY;
      request.onProgress = [&](const ZPRequest&, int64_t, int64_t) { ++progressCalls; };
      responses[i] = manager.execute(request);
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (ZPResponse& response : responses) {
    ASSERT_TRUE(response.isSuccess()) << response.logString();
    EXPECT_EQ(response.getMd5Etag(), md5HexOf(patternBytes(2 * kBlock)));
  }
  // Requests that arrive while the download runs join it: fewer ranged GETs than callers times
  // blocks means the download was not repeated for each of them.
  EXPECT_LT(server_.requestCount(), static_cast<size_t>(kCallers * 2));
  EXPECT_GT(progressCalls.load(), 0);
}

// A request transfers from its onStart until its progress reaches the whole length; its delivery
// and onComplete may overlap the next request's transfer.
TEST_F(ZephylTest, QueuedRequestsTransferTwoAtATimeByDefault) {
  serveSlow("/slow1", 300);
  serveSlow("/slow2", 300);
  serveSlow("/slow3", 300);
  Zephyl manager(settings_);
  Completions completions;
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  for (const char* path : {"/slow1", "/slow2", "/slow3"}) {
    ZPRequest request(server_.url(path));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    request.onStart = [&](const ZPRequest&) {
      const int now = ++running;
      int seen = maxRunning.load();
      while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
      }
    };
    auto transferEnded = std::make_shared<std::atomic<bool>>(false);
    request.onProgress = [&running, transferEnded](const ZPRequest&, int64_t done, int64_t total) {
      if (total > 0 && done == total && !transferEnded->exchange(true)) --running;
    };
    auto complete = completions.callback();
    request.onComplete = [&running, complete, transferEnded](const ZPRequest& r,
                                                             const ZPResponse& response) {
      if (!transferEnded->exchange(true)) --running;
      complete(r, response);
    };
    manager.enqueue(request);
  }
  ASSERT_TRUE(completions.waitFor(3));
  EXPECT_EQ(maxRunning.load(), 2);
}

TEST_F(ZephylTest, RunningTheQueueTakesNoRequestIds) {
  server_.serve("/ids", patternBytes(10));
  Zephyl manager(settings_);
  Completions completions;
  std::vector<ZPRequest> requests;
  for (int i = 0; i < 3; ++i) {
    requests.emplace_back(server_.url("/ids"));
    requests.back().outputType = ZPRequest::OUTPUT_MEMORY;
    requests.back().onComplete = completions.callback();
  }
  for (const ZPRequest& request : requests) manager.enqueue(request);
  ASSERT_TRUE(completions.waitFor(3));
  // Ids come from constructions only: the library's own handling of the queue uses none.
  ZPRequest next;
  EXPECT_EQ(next.getRequestId(), requests.back().getRequestId() + 1);
}

TEST_F(ZephylTest, HighPriorityRequestsStartFirstLatestFirst) {
  serveSlow("/busy", 300);
  server_.serve("/q1", patternBytes(10, 1));
  server_.serve("/q2", patternBytes(10, 2));
  server_.serve("/q3", patternBytes(10, 3));
  settings_.taskThreadNum = 1;
  Zephyl manager(settings_);
  Completions completions;
  std::mutex mutex;
  std::vector<int> started;
  auto enqueue = [&](const std::string& path, bool highPriority) {
    ZPRequest request(server_.url(path));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    request.highPriority = highPriority;
    request.onStart = [&](const ZPRequest& r) {
      std::lock_guard<std::mutex> lock(mutex);
      started.push_back(r.getRequestId());
    };
    request.onComplete = completions.callback();
    manager.enqueue(request);
    return request.getRequestId();
  };
  const int busy = enqueue("/busy", false);
  ASSERT_TRUE(server_.waitForRequests(1, 5000));  // the only task thread is taken
  const int normal = enqueue("/q1", false);
  const int first = enqueue("/q2", true);
  const int later = enqueue("/q3", true);
  ASSERT_TRUE(completions.waitFor(4));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(started, (std::vector<int>{busy, later, first, normal}));
}

TEST_F(ZephylTest, BatchExecuteReturnsResponsesInOrderAndCompletesOnce) {
  server_.serve("/b0", patternBytes(3 * kBlock, 10));
  server_.serve("/b1", patternBytes(10, 11));
  Zephyl manager(settings_);
  std::vector<ZPRequest> requests;
  for (const char* path : {"/b0", "/b1", "/missing"}) {
    ZPRequest request(server_.url(path));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    request.onComplete = [](const ZPRequest&, const ZPResponse&) { ADD_FAILURE(); };
    requests.push_back(request);
  }
  ZPBatchRequest batch(requests);
  std::atomic<int> batchCompletions{0};
  std::mutex mutex;
  std::set<int> completedIndexes;
  int lastPercent = -1;
  batch.onRequestComplete = [&](const ZPBatchRequest&, int index, const ZPResponse&) {
    std::lock_guard<std::mutex> lock(mutex);
    completedIndexes.insert(index);
  };
  batch.onRequestProgress = [&](const ZPBatchRequest&, int, int64_t, int64_t, int percent) {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
    lastPercent = percent;
  };
  batch.onBatchComplete = [&](const ZPBatchRequest&, const std::vector<ZPResponse>& responses) {
    ++batchCompletions;
    EXPECT_EQ(responses.size(), 3u);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(completedIndexes.size(), 3u);
  };
  std::vector<ZPResponse> responses = manager.batchExecute(batch);
  ASSERT_EQ(responses.size(), 3u);
  EXPECT_EQ(responses[0].getMd5Etag(), md5HexOf(patternBytes(3 * kBlock, 10)));
  EXPECT_EQ(responses[1].getMd5Etag(), md5HexOf(patternBytes(10, 11)));
  EXPECT_FALSE(responses[2].isSuccess());
  EXPECT_EQ(batchCompletions.load(), 1);
  // Two of three requests completed: the overall share never passes two thirds.
  EXPECT_LE(lastPercent, 66);
}

TEST_F(ZephylTest, BatchWithRepeatedRequestIdStillCompletes) {
  server_.serve("/dup", patternBytes(100));
  Zephyl manager(settings_);
  ZPRequest request(server_.url("/dup"));
  request.outputType = ZPRequest::OUTPUT_MEMORY;
  ZPBatchRequest batch({request, request});
  std::vector<ZPResponse> responses = manager.batchExecute(batch);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_TRUE(responses[0].isSuccess());
  EXPECT_TRUE(responses[1].isSuccess());
}

TEST_F(ZephylTest, BatchExecuteFromATaskThreadDoesNotWaitForItself) {
  server_.serve("/outer", patternBytes(10, 1));
  server_.serve("/inner", patternBytes(10, 2));
  settings_.taskThreadNum = 1;
  Zephyl manager(settings_);
  Completions completions;
  std::vector<ZPResponse> inner;
  ZPRequest outer(server_.url("/outer"));
  outer.outputType = ZPRequest::OUTPUT_MEMORY;
  auto complete = completions.callback();
  outer.onComplete = [&](const ZPRequest& request, const ZPResponse& response) {
    ZPRequest nested(server_.url("/inner"));
    nested.outputType = ZPRequest::OUTPUT_MEMORY;
    inner = manager.batchExecute(ZPBatchRequest({nested}));
    complete(request, response);
  };
  manager.enqueue(outer);
  ASSERT_TRUE(completions.waitFor(1));
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_TRUE(inner[0].isSuccess());
}

TEST_F(ZephylTest, CancelFlavoursCompleteQueuedAndRunningRequests) {
  serveSlow("/run1", 5000);
  serveSlow("/run2", 5000);
  server_.serve("/queued", patternBytes(10));
  settings_.httpPolicy.executeRetryCount = 1;
  Zephyl manager(settings_);
  Completions completions;
  std::vector<int> ids;
  for (const char* path : {"/run1", "/run2", "/queued", "/queued"}) {
    ZPRequest request(server_.url(path));
    request.onComplete = completions.callback();
    ids.push_back(request.getRequestId());
    manager.enqueue(request);
  }
  ASSERT_TRUE(server_.waitForRequests(2, 5000));
  manager.cancelByRequest(ids[2]);  // queued: completed as cancelled at once
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(completions.order()[0], ids[2]);
  EXPECT_TRUE(completions.responsesOf(ids[2])[0].isCancelled());
  manager.cancelByUrl(server_.url("/run1"));  // running
  manager.cancelAll();                        // the other running one and the last queued
  ASSERT_TRUE(completions.waitFor(4));
  for (int id : ids) {
    std::vector<ZPResponse> responses = completions.responsesOf(id);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_TRUE(responses[0].isCancelled()) << responses[0].logString();
  }
}

TEST_F(ZephylTest, CallbackMayCallTheManagerWhenACancelCompletesIt) {
  Zephyl manager(settings_);
  serveSlow("/busy1", 2000);
  serveSlow("/busy2", 2000);
  Completions completions;
  for (const char* path : {"/busy1", "/busy2"}) {
    ZPRequest request(server_.url(path));
    request.onComplete = completions.callback();
    manager.enqueue(request);
  }
  ZPRequest queued(server_.url("/never"));
  bool calledBack = false;
  queued.onComplete = [&](const ZPRequest&, const ZPResponse& response) {
    EXPECT_TRUE(response.isCancelled());
    int64_t downloaded = 0;
    manager.fetchProgress(server_.url("/busy1"), &downloaded, nullptr);
    manager.cancelByUrl(server_.url("/busy1"));
    calledBack = true;
  };
  manager.enqueue(queued);
  manager.cancelByRequest(queued.getRequestId());
  EXPECT_TRUE(calledBack);
  manager.cancelAll();
  ASSERT_TRUE(completions.waitFor(2));
}

TEST_F(ZephylTest, WaiterForACancelledTaskRunsAFreshOneOrIsCancelled) {
  serveSlow("/pred", 3000);
  Zephyl manager(settings_);
  ZPRequest first(server_.url("/pred"));
  std::thread runner([&] { manager.execute(first); });
  ASSERT_TRUE(server_.waitForRequests(1, 5000));
  manager.cancelByUrl(server_.url("/pred"));
  // The predecessor is cancelled but may still be running: this request waits, then starts anew.
  server_.setMisbehaviour("/pred", Misbehaviour());
  ZPRequest second(server_.url("/pred"));
  ZPResponse response = manager.execute(second);
  runner.join();
  EXPECT_TRUE(response.isSuccess()) << response.logString();
}

TEST_F(ZephylTest, FetchProgressFromARunningTaskAndFromTheProgressFile) {
  int64_t downloaded = -1, total = -1;
  Zephyl manager(settings_);
  EXPECT_TRUE(manager.fetchProgress("anything", nullptr, nullptr));
  EXPECT_FALSE(manager.fetchProgress(server_.url("/none"), &downloaded, &total));

  Misbehaviour failing;
  failing.failFirst = 1000;
  const std::vector<uint8_t> body = patternBytes(3 * kBlock);
  // The one worker asks for the whole resource at once: its answer breaks off past one block.
  Misbehaviour cut;
  cut.cutFirst = 1;
  cut.cutAfterBytes = kBlock + 100;
  server_.serve("/p", body, cut);
  settings_.threadNum = 1;
  settings_.httpPolicy.executeRetryCount = 0;
  Zephyl stopping(settings_);
  ZPRequest request(server_.url("/p"));
  std::atomic<bool> seen{false};
  request.onProgress = [&](const ZPRequest&, int64_t done, int64_t) {
    if (done >= kBlock && !seen.exchange(true)) {
      int64_t running = 0, length = 0;
      EXPECT_TRUE(stopping.fetchProgress(server_.url("/p"), &running, &length));
      EXPECT_EQ(length, 3 * kBlock);
      server_.setMisbehaviour("/p", failing);
    }
  };
  EXPECT_FALSE(stopping.execute(request).isSuccess());
  ASSERT_TRUE(manager.fetchProgress(server_.url("/p"), &downloaded, &total));
  EXPECT_EQ(total, 3 * kBlock);
  EXPECT_GE(downloaded, kBlock);

  manager.removeCacheByUrl(server_.url("/p"));
  EXPECT_FALSE(manager.fetchProgress(server_.url("/p"), &downloaded, &total));
}

TEST_F(ZephylTest, Md5OfAFileFollowsTheFile) {
  const std::vector<uint8_t> body = patternBytes(5000);
  server_.serve("/file", body);
  Zephyl manager(settings_);
  ZPRequest request(server_.url("/file"));
  ZPResponse response = manager.execute(request);
  ASSERT_TRUE(response.isSuccess());
  const std::string path = response.getFile();
  std::vector<uint8_t> kept = readBytes(path);
  std::remove(path.c_str());
  ZPResponse copy = response;
  EXPECT_EQ(copy.getMd5Etag(), "");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(kept.data()), static_cast<std::streamsize>(kept.size()));
  EXPECT_EQ(copy.getMd5Etag(), md5HexOf(body));
}

TEST_F(ZephylTest, CopiesShareOneRegistryAndDestructionDrainsTheQueue) {
  server_.serve("/d1", patternBytes(100, 1));
  server_.serve("/d2", patternBytes(100, 2));
  server_.serve("/d3", patternBytes(100, 3));
  Completions completions;
  {
    Zephyl manager(settings_);
    Zephyl copy(manager);
    Zephyl other(ZPSetting(dir_.file("root2"), dir_.file("save2")));
    other = copy;  // the replaced manager's registry is released, not leaked
    for (const char* path : {"/d1", "/d2", "/d3"}) {
      ZPRequest request(server_.url(path));
      request.outputType = ZPRequest::OUTPUT_MEMORY;
      request.onComplete = completions.callback();
      copy.enqueue(request);
    }
  }
  // Every queued request ran to its end before the last copy's destructor returned.
  EXPECT_EQ(completions.order().size(), 3u);
}

TEST_F(ZephylTest, RequestQueuedByACallbackWhileTheManagerDrainsStillCompletes) {
  server_.serve("/chain1", patternBytes(100, 1));
  server_.serve("/chain2", patternBytes(100, 2));
  Completions completions;
  {
    Zephyl manager(settings_);
    ZPRequest next(server_.url("/chain2"));
    next.outputType = ZPRequest::OUTPUT_MEMORY;
    next.onComplete = completions.callback();
    ZPRequest first(server_.url("/chain1"));
    first.outputType = ZPRequest::OUTPUT_MEMORY;
    auto complete = completions.callback();
    // The next download of a chain, queued from a callback that may run while the destructor
    // below already drains the queue.
    first.onComplete = [&manager, next, complete](const ZPRequest& r, const ZPResponse& response) {
      manager.enqueue(next);
      complete(r, response);
    };
    manager.enqueue(first);
  }
  ASSERT_EQ(completions.order().size(), 2u);
  for (const ZPResponse& response : completions.responsesOf(completions.order()[1])) {
    EXPECT_TRUE(response.isSuccess()) << response.logString();
  }
}

TEST_F(ZephylTest, LastCopyMayBeDestroyedInsideItsOwnCallback) {
  server_.serve("/self", patternBytes(100));
  // Everything the callback touches lives on the heap, shared with it: the test may end while
  // the task thread is still returning from the callback.
  struct Scene {
    Completions completions;
    std::mutex mutex;
    std::unique_ptr<Zephyl> manager;  // guarded by mutex
  };
  auto scene = std::make_shared<Scene>();
  scene->manager = std::make_unique<Zephyl>(settings_);
  ZPRequest request(server_.url("/self"));
  request.outputType = ZPRequest::OUTPUT_MEMORY;
  auto complete = scene->completions.callback();
  request.onComplete = [scene, complete](const ZPRequest& r, const ZPResponse& response) {
    {
      std::lock_guard<std::mutex> lock(scene->mutex);
      scene->manager.reset();  // on a task thread of the very manager
    }
    complete(r, response);
  };
  {
    std::lock_guard<std::mutex> lock(scene->mutex);
    scene->manager->enqueue(request);
  }
  ASSERT_TRUE(scene->completions.waitFor(1));
  std::lock_guard<std::mutex> lock(scene->mutex);
  EXPECT_EQ(scene->manager, nullptr);
}

TEST_F(ZephylTest, ZeroTaskThreadsStillRunQueuedRequests) {
  server_.serve("/z", patternBytes(10));
  settings_.taskThreadNum = 0;
  Zephyl manager(settings_);
  Completions completions;
  ZPRequest request(server_.url("/z"));
  request.outputType = ZPRequest::OUTPUT_MEMORY;
  request.onComplete = completions.callback();
  manager.enqueue(request);
  ASSERT_TRUE(completions.waitFor(1));
}

}  // namespace
