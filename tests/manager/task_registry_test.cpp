// Requests that meet one running download through the public manager: each gets its result at
// its own target, the bytes are fetched once, and a request after the end downloads anew. Then
// requests the registry cannot run (no task thread, no file key), which fail at once and clearly.
#include "manager/task_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kBlock = zephyl::test::LoopbackDownload::kTestBlock;

// One request of a pair: its sink, savePath (relative to the test directory; empty for the save
// directory) and rename rule.
struct Side {
  int outputType;
  std::string savePath;
  int renameIfExists = 0;
};

struct Pair {
  const char* name;
  Side first;
  Side second;
  bool sameTarget;
};

void PrintTo(const Pair& pair, std::ostream* out) { *out << pair.name; }

class JoinedRequestTest : public testing::TestWithParam<Pair>,
                          protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.started()); }

  ZPRequest requestFor(const Side& side) {
    ZPRequest request(server_.url("/r.bin"));
    request.outputType = side.outputType;
    if (!side.savePath.empty()) request.savePath = dir_.file(side.savePath);
    request.renameIfExists = side.renameIfExists;
    return request;
  }

  // Runs first, and second once the server has seen first's opening request (every answer is
  // slowed by delayMs, so second finds first running); returns both responses.
  std::pair<ZPResponse, ZPResponse> runTogether(const Side& first, const Side& second) {
    Zephyl manager(settings_);
    ZPResponse firstResponse;
    std::thread runner([&] { firstResponse = manager.execute(requestFor(first)); });
    const bool firstArrived = server_.waitForRequests(1, 10000);
    ZPResponse secondResponse = manager.execute(requestFor(second));
    runner.join();
    EXPECT_TRUE(firstArrived);
    return {firstResponse, secondResponse};
  }

  // The response holds exactly body, in memory or in a file at the side's target.
  void expectOwnResult(const Side& side, ZPResponse response) {
    ASSERT_TRUE(response.isSuccess()) << response.logString();
    EXPECT_EQ(response.fileLength(), static_cast<int64_t>(body_.size()));
    if (side.outputType == ZPRequest::OUTPUT_MEMORY) {
      EXPECT_TRUE(response.getFile().empty());
      ASSERT_NE(response.getData(), nullptr);
      EXPECT_EQ(*response.getData(), body_);
      return;
    }
    EXPECT_EQ(response.getData(), nullptr);
    const std::string target =
        side.savePath.empty()
            ? settings_.saveDirPath + "/" + zephyl::fileKeyFromUrl(server_.url("/r.bin"))
            : dir_.file(side.savePath);
    if (side.renameIfExists == 0) {
      EXPECT_EQ(response.getFile(), target);
    }
    EXPECT_EQ(zephyl::test::readBytes(response.getFile()), body_);
  }

  const Bytes body_ = patternBytes(3 * kBlock + 5);
};

TEST_P(JoinedRequestTest, EachRequestGetsItsOwnResultFromOneFetch) {
  const Pair& pair = GetParam();
  Misbehaviour slow;
  slow.delayMs = 400;
  server_.serve("/r.bin", body_, slow);
  auto [first, second] = runTogether(pair.first, pair.second);
  expectOwnResult(pair.first, first);
  expectOwnResult(pair.second, second);
  EXPECT_EQ(first.getFile() == second.getFile() && !first.getFile().empty(), pair.sameTarget);
  EXPECT_EQ(zephyl::test::bytesServedOnce(server_.requests(), static_cast<int64_t>(body_.size())),
            static_cast<int64_t>(body_.size()));
  // One download: a second one would ask for byte 0 again.
  int fromStart = 0;
  for (const zephyl::test::SeenRequest& seen : server_.requests()) {
    fromStart += !seen.hasRange || seen.range.rfind("bytes=0-", 0) == 0;
  }
  EXPECT_EQ(fromStart, 1);
}

constexpr int kChunk = ZPRequest::OUTPUT_CHUNK_FILE;
constexpr int kFile = ZPRequest::OUTPUT_FILE;
constexpr int kMemory = ZPRequest::OUTPUT_MEMORY;
const Pair kPairs[] = {
    {"ChunkFileThenMemory", {kChunk, ""}, {kMemory, ""}, false},
    {"MemoryThenFile", {kMemory, ""}, {kFile, "b/out"}, false},
    {"ChunkFileThenOtherSavePath", {kChunk, "a/out"}, {kFile, "b/out"}, false},
    {"SaveDirThenRenamingCopy", {kFile, ""}, {kChunk, "", 1}, false},
    {"SameTargetSharesOneFile", {kFile, "a/out"}, {kChunk, "a/out"}, true},
};
INSTANTIATE_TEST_SUITE_P(SinkPairs, JoinedRequestTest, testing::ValuesIn(kPairs),
                         [](const testing::TestParamInfo<Pair>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(JoinedRequestTest, FailedDownloadFailsEveryJoinerWithoutAFile) {
  Misbehaviour failing;
  failing.delayMs = 300;
  failing.failFirst = 1000;
  failing.failStatus = 404;
  server_.serve("/r.bin", body_, failing);
  settings_.httpPolicy.executeRetryCount = 0;
  auto [first, second] = runTogether({kMemory, ""}, {kFile, "b/out"});
  EXPECT_EQ(first.getErrorCode(), ZPResponse::BLOCK_HTTP_SERVER_ERROR);
  EXPECT_EQ(second.getErrorCode(), ZPResponse::BLOCK_HTTP_SERVER_ERROR);
  EXPECT_TRUE(second.getFile().empty());
  EXPECT_FALSE(std::ifstream(dir_.file("b/out")).good());
}

TEST_F(JoinedRequestTest, RetryFromInsideOnCompleteDownloadsAnew) {
  server_.serve("/r.bin", body_);
  Zephyl manager(settings_);
  const Side side{kChunk, "out"};
  ZPRequest request = requestFor(side);
  size_t requestsBefore = 0;
  ZPResponse retried;
  request.onComplete = [&](const ZPRequest&, const ZPResponse& response) {
    // The host consumes the file, then asks for the same file again.
    std::remove(response.getFile().c_str());
    requestsBefore = server_.requestCount();
    retried = manager.execute(requestFor(side));
  };
  ASSERT_TRUE(manager.execute(request).isSuccess());
  EXPECT_GT(server_.requestCount(), requestsBefore);
  expectOwnResult(side, retried);
}

// onComplete calls of the requests of one test, waited for with a bound.
class Completions {
 public:
  ZPRequest::CompleteCallback callback() {
    return [this](const ZPRequest&, const ZPResponse& response) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        responses_.push_back(response);
      }
      changed_.notify_all();
    };
  }
  std::vector<ZPResponse> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return responses_.size() >= count; });
    return responses_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ZPResponse> responses_;  // guarded by mutex_
};

std::thread refuseThread(std::function<void()>) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                          "pthread_create");
}

std::string noFileKey(const std::string&) { return std::string(); }

struct Unrunnable {
  const char* name;
  zephyl::ThreadPool::ThreadStarter startThread;
  zephyl::TaskRegistry::FileKeyFunction fileKey;
  std::string message;  // what the failures' errorMsg starts with
  bool executeRuns;     // execute on the caller's thread needs no task thread
};

void PrintTo(const Unrunnable& unrunnable, std::ostream* out) { *out << unrunnable.name; }

class UnrunnableRequestTest : public testing::TestWithParam<Unrunnable>,
                              protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    server_.serve("/r.bin", body_);
  }

  ZPRequest requestFor(Completions& completions) {
    ZPRequest request(server_.url("/r.bin"));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    request.onStart = [this](const ZPRequest&) { ++starts_; };
    request.onComplete = completions.callback();
    return request;
  }

  void expectClearFailure(const ZPResponse& response) {
    EXPECT_EQ(response.getResultCode(), ZPResponse::RESULT_FAILED);
    EXPECT_EQ(response.getErrorCode(), ZPResponse::EXECUTE_ERROR);
    EXPECT_EQ(response.getErrorMsg().rfind(GetParam().message, 0), 0u) << response.getErrorMsg();
  }

  const Bytes body_ = patternBytes(2 * kBlock + 3);
  std::atomic<int> starts_{0};
};

// Queued one by one or as a batch, every request gets one clear failure through onComplete and
// nothing waits for ever; the server is never asked.
TEST_P(UnrunnableRequestTest, QueuedRequestsFailClearlyInsteadOfWaiting) {
  const Unrunnable& unrunnable = GetParam();
  auto registry =
      zephyl::TaskRegistry::createHandle(settings_, unrunnable.fileKey, unrunnable.startThread);
  Completions queued;
  registry->enqueue(requestFor(queued));
  registry->enqueue(requestFor(queued));
  const std::vector<ZPResponse> single = queued.waitFor(2);
  ASSERT_EQ(single.size(), 2u);
  for (const ZPResponse& response : single) expectClearFailure(response);

  Completions unused;
  const std::vector<ZPResponse> batch =
      registry->batchExecute(ZPBatchRequest({requestFor(unused), requestFor(unused)}));
  ASSERT_EQ(batch.size(), 2u);
  for (const ZPResponse& response : batch) expectClearFailure(response);
  EXPECT_EQ(starts_.load(), 0);
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_EQ(queued.waitFor(2).size(), 2u) << "a request completed twice";

  Completions direct;
  const ZPResponse executed = registry->execute(requestFor(direct));
  EXPECT_EQ(executed.isSuccess(), unrunnable.executeRuns) << executed.logString();
  if (!unrunnable.executeRuns) expectClearFailure(executed);
  EXPECT_EQ(direct.waitFor(1).size(), 1u);
}

const Unrunnable kUnrunnable[] = {
    {"NoTaskThread", refuseThread, zephyl::fileKeyFromUrl,
     "request not run: ThreadPool could not start a worker thread", true},
    {"NoFileKey", nullptr, noFileKey, "file key unavailable: md5 failed", false},
};
INSTANTIATE_TEST_SUITE_P(Causes, UnrunnableRequestTest, testing::ValuesIn(kUnrunnable),
                         [](const testing::TestParamInfo<Unrunnable>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

namespace {

class FinishedBatchTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.started()); }
};

// The manager keeps nothing of a batch whose responses it has handed over: no copy of its
// requests, of the batch, or of the host's callables (and what they hold) outlives the call.
TEST_F(FinishedBatchTest, ManagerKeepsNoCopyOfAFinishedBatch) {
  auto registry = zephyl::TaskRegistry::createHandle(settings_, zephyl::fileKeyFromUrl);
  auto token = std::make_shared<int>(0);
  ZPBatchRequest batch;
  for (int i = 0; i < 12; ++i) {
    const std::string path = "/r" + std::to_string(i) + ".bin";
    server_.serve(path, patternBytes(kBlock + 1));
    ZPRequest request(server_.url(path));
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    request.onComplete = [token](const ZPRequest&, const ZPResponse&) {};  // replaced in a batch
    batch.requests.push_back(request);
  }
  batch.onRequestStart = [token](const ZPBatchRequest&, int) {};
  batch.onRequestProgress = [token](const ZPBatchRequest&, int, int64_t, int64_t, int) {};
  batch.onRequestComplete = [token](const ZPBatchRequest&, int, const ZPResponse&) {};
  const long held = token.use_count();  // the test's own and the batch's
  const std::vector<ZPResponse> responses = registry->batchExecute(batch);
  ASSERT_EQ(responses.size(), batch.requests.size());
  for (const ZPResponse& response : responses) EXPECT_TRUE(response.isSuccess());
  // The last completion may still be returning on its task thread: bounded wait for its release.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (token.use_count() > held && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(token.use_count(), held);
}

}  // namespace
