// Whole downloads through FileDownloadTask against loopback servers that behave and misbehave.
#include "engine/file_download_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "pelvar/pelvar.h"
#include "storage/file_storage_manager.h"
#include "support/file_contents.h"
#include "support/file_size_limit.h"
#include "support/loopback_download.h"
#include "support/test_http_server.h"

namespace zephyl {
namespace {

using test::BodyFraming;
using test::md5HexOf;
using test::Misbehaviour;
using test::patternBytes;
using test::readBytes;

constexpr int64_t kBlock = test::LoopbackDownload::kTestBlock;

class FileDownloadTaskTest : public testing::Test, protected test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.threadNum = 3;
    settings_.httpPolicy.timeoutMs = 20000;
    storage_ = FileStorageManager::getInstance(settings_.rootDir, settings_.cachePolicy);
  }

  ZPRequest request(const std::string& path, int outputType) {
    ZPRequest request(server_.url(path));
    request.outputType = outputType;
    request.fileKey = fileKeyFromUrl(request.url);
    return request;
  }

  ZPResponse run(const ZPRequest& request) {
    FileDownloadTask task(settings_, storage_, request);
    return task.execute();
  }

  // The delivered content of a successful response, whatever the sink.
  static std::vector<uint8_t> contentOf(ZPResponse response) {
    if (response.getData()) return *response.getData();
    return readBytes(response.getFile());
  }

  // Ranges the server saw, in arrival order ("bytes=a-b" or "" without one).
  std::vector<std::string> rangesSeen() const {
    std::vector<std::string> ranges;
    for (const test::SeenRequest& seen : server_.requests()) ranges.push_back(seen.range);
    return ranges;
  }

  std::shared_ptr<FileStorageManager> storage_;
};

TEST_F(FileDownloadTaskTest, EverySinkDeliversExactBytesForSizesAroundTheBlock) {
  const std::vector<size_t> sizes{1, kBlock - 1, kBlock, kBlock + 1, 5 * kBlock + 123};
  const std::vector<int> sinks{ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE,
                               ZPRequest::OUTPUT_MEMORY};
  uint32_t seed = 1;
  for (size_t size : sizes) {
    for (int sink : sinks) {
      const std::string path = "/f" + std::to_string(size) + "_" + std::to_string(sink);
      const std::vector<uint8_t> body = patternBytes(size, seed++);
      server_.serve(path, body);
      ZPResponse response = run(request(path, sink));
      ASSERT_TRUE(response.isSuccess()) << size << " " << sink << " " << response.logString();
      EXPECT_EQ(response.fileLength(), static_cast<int64_t>(size));
      EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body)) << size << " sink " << sink;
      EXPECT_EQ(response.getMd5Etag(), md5HexOf(body));
    }
  }
}

TEST_F(FileDownloadTaskTest, ChunkedDownloadAsksForEveryBlockOnce) {
  const int64_t size = 40 * kBlock + 10;
  server_.serve("/blocks", patternBytes(static_cast<size_t>(size)));
  // Every transfer opens at once, so that runs are split and their ends taken over.
  settings_.splitThresholdMs = 0;
  ZPResponse response = run(request("/blocks", ZPRequest::OUTPUT_CHUNK_FILE));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  std::vector<std::pair<int64_t, int64_t>> ranges;
  for (const std::string& range : rangesSeen()) {
    long long first = -1, last = -1;
    ASSERT_EQ(std::sscanf(range.c_str(), "bytes=%lld-%lld", &first, &last), 2)
        << "an open range may fetch bytes that another request asks for: " << range;
    ranges.emplace_back(first, last);
  }
  // The length is unknown when the first request goes out: it asks for its first block only.
  ASSERT_FALSE(ranges.empty());
  EXPECT_EQ(rangesSeen().front(), "bytes=0-" + std::to_string(kBlock - 1));
  // Every request starts at a block boundary and ends at one or at the end, and no byte is
  // asked for twice.
  std::sort(ranges.begin(), ranges.end());
  int64_t reached = 0;
  for (const auto& [first, last] : ranges) {
    EXPECT_EQ(first % kBlock, 0) << first;
    EXPECT_GE(first, reached) << "asked twice from " << first;
    EXPECT_TRUE((last + 1) % kBlock == 0 || last == size - 1) << last;
    reached = last + 1;
  }
  EXPECT_EQ(reached, size);
  EXPECT_EQ(response.getFile(),
            settings_.saveDirPath + "/" + fileKeyFromUrl(server_.url("/blocks")));
  EXPECT_FALSE(std::ifstream(storage_->lruCacheDir() + "/" +
                             fileKeyFromUrl(server_.url("/blocks")) + ".info"));
}

TEST_F(FileDownloadTaskTest, CutConnectionResumesAfterTheStoredBytes) {
  Misbehaviour cut;
  cut.cutFirst = 1;
  cut.cutAfterBytes = 1000;
  const std::vector<uint8_t> body = patternBytes(kBlock);
  server_.serve("/cut", body, cut);
  ZPResponse response = run(request("/cut", ZPRequest::OUTPUT_CHUNK_FILE));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
  // The first request asks for the first block (the length is unknown); the retry asks for the
  // rest of it only.
  EXPECT_EQ(rangesSeen(), (std::vector<std::string>{"bytes=0-4095", "bytes=1000-4095"}));
}

TEST_F(FileDownloadTaskTest, InterruptedChunkedDownloadResumesInANewTask) {
  const std::vector<uint8_t> body = patternBytes(4 * kBlock);
  // A strong validator: stored bytes without one are never continued.
  Misbehaviour failing;
  failing.etag = "\"v1\"";
  failing.failFirst = 100;
  failing.failStatus = 503;
  // One worker asks for the whole resource at once: its answer breaks off past the first block.
  Misbehaviour cut;
  cut.etag = "\"v1\"";
  cut.cutFirst = 1;
  cut.cutAfterBytes = kBlock + 100;
  server_.serve("/resume", body, cut);
  ZPRequest first = request("/resume", ZPRequest::OUTPUT_CHUNK_FILE);
  {
    // The first block arrives, then every further request fails: the task gives up.
    settings_.httpPolicy.executeRetryCount = 0;
    settings_.threadNum = 1;
    FileDownloadTask task(settings_, storage_, first);
    std::atomic<bool> switched{false};
    task.addProgressListener([&](const ZPRequest&, int64_t downloaded, int64_t) {
      if (downloaded >= kBlock && !switched.exchange(true)) {
        server_.setMisbehaviour("/resume", failing);
      }
    });
    ZPResponse failed = task.execute();
    ASSERT_FALSE(failed.isSuccess());
  }
  int64_t downloaded = 0, total = 0;
  ASSERT_TRUE(storage_->fetchProgress(first.fileKey, &downloaded, &total));
  EXPECT_GE(downloaded, kBlock);
  EXPECT_EQ(total, 4 * kBlock);

  server_.setMisbehaviour("/resume", Misbehaviour());
  server_.clearRequests();
  ZPResponse response = run(first);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
  // Only what is missing is asked for.
  for (const std::string& range : rangesSeen()) {
    long long start = -1;
    ASSERT_EQ(std::sscanf(range.c_str(), "bytes=%lld-", &start), 1) << range;
    EXPECT_GE(start, downloaded) << range;
  }
}

TEST_F(FileDownloadTaskTest, ErrorStatusIsRetriedOnceAndItsPageNeverStored) {
  Misbehaviour failing;
  failing.failFirst = 1000;
  failing.failStatus = 404;
  server_.serve("/missing", patternBytes(100), failing);
  settings_.httpPolicy.executeRetryCount = 0;
  for (int sink : {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_MEMORY}) {
    server_.clearRequests();
    ZPRequest req = request("/missing", sink);
    FileDownloadTask task(settings_, storage_, req);
    int64_t lastDownloaded = -1;
    task.addProgressListener([&](const ZPRequest&, int64_t d, int64_t) { lastDownloaded = d; });
    ZPResponse response = task.execute();
    EXPECT_EQ(response.getErrorCode(), ZPResponse::BLOCK_HTTP_SERVER_ERROR);
    EXPECT_EQ(response.extraErrorCode, 1000);
    EXPECT_EQ(server_.requestCount(), 2u);  // one try and one same-host retry
    EXPECT_EQ(lastDownloaded, -1);          // no byte of the error page was stored
  }
}

TEST_F(FileDownloadTaskTest, RefusedConnectionIsANetworkErrorAfterTwoRetriesPerAttempt) {
  test::ClosedPort closed;
  settings_.httpPolicy.executeRetryCount = 1;
  ZPRequest req(closed.url("/x"));
  req.outputType = ZPRequest::OUTPUT_MEMORY;
  req.fileKey = fileKeyFromUrl(req.url);
  testing::internal::CaptureStdout();
  setLogThreshold(1);
  ZPResponse response = run(req);
  setLogThreshold(5);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(response.getErrorCode(), ZPResponse::BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(response.extraErrorCode, 7);  // CURLE_COULDNT_CONNECT
  EXPECT_NE(log.find("FileDownloadTask execute times: 1"), std::string::npos);
  EXPECT_NE(log.find("chunkId: 0, netErrorCount: 1, retry"), std::string::npos);
  EXPECT_EQ(log.find("chunkId: 0, netErrorCount: 2, retry"), std::string::npos);
}

TEST_F(FileDownloadTaskTest, FailingHostMovesToTheAlternativeHost) {
  test::TestHttpServer mirror;
  ASSERT_TRUE(mirror.started());
  Misbehaviour failing;
  failing.failFirst = 1000;
  server_.serve("/m", patternBytes(2 * kBlock), failing);
  mirror.serve("/m", patternBytes(2 * kBlock));
  settings_.httpPolicy.domainMap[server_.host()] = {mirror.host()};
  settings_.splitThresholdMs = 0;  // both chunks' transfers open at once
  ZPResponse response = run(request("/m", ZPRequest::OUTPUT_MEMORY));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(patternBytes(2 * kBlock)));
  // Each of the two chunks starts on the request's host: one try and one retry there, then the
  // mirror.
  EXPECT_EQ(server_.requestCount(), 4u);
  EXPECT_EQ(mirror.requestCount(), 2u);
}

TEST_F(FileDownloadTaskTest, ServerIgnoringRangesIsReadOverOneConnection) {
  Misbehaviour ignore;
  ignore.ignoreRange = true;
  const std::vector<uint8_t> body = patternBytes(5 * kBlock + 7);
  for (int sink :
       {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE, ZPRequest::OUTPUT_MEMORY}) {
    const std::string path = "/ignore" + std::to_string(sink);
    server_.serve(path, body, ignore);
    server_.clearRequests();
    ZPResponse response = run(request(path, sink));
    ASSERT_TRUE(response.isSuccess()) << sink << " " << response.logString();
    EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
    EXPECT_EQ(server_.requestCount(), 1u) << sink;
  }
}

TEST_F(FileDownloadTaskTest, BodyOfUnknownLengthIsDeliveredExactly) {
  const std::vector<uint8_t> body = patternBytes(2 * kBlock + 5);
  std::vector<Misbehaviour> unknown(2);
  unknown[0].framing = BodyFraming::kCloseDelimited;
  unknown[0].ignoreRange = true;
  unknown[1].framing = BodyFraming::kChunked;
  unknown[1].ignoreRange = true;
  int index = 0;
  for (const Misbehaviour& misbehaviour : unknown) {
    for (int sink :
         {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE, ZPRequest::OUTPUT_MEMORY}) {
      const std::string path = "/unknown" + std::to_string(index++);
      server_.serve(path, body, misbehaviour);
      server_.clearRequests();
      ZPResponse response = run(request(path, sink));
      ASSERT_TRUE(response.isSuccess()) << path << " " << response.logString();
      EXPECT_EQ(response.fileLength(), static_cast<int64_t>(body.size())) << path;
      EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body)) << path;
      EXPECT_EQ(server_.requestCount(), 1u) << path;
    }
  }
}

TEST_F(FileDownloadTaskTest, RangeOfUnknownTotalEndsExactOrCleanly) {
  // "bytes 0-4095/*": the part is good, but neither the end nor the other ranges are known.
  const std::vector<uint8_t> body = patternBytes(2 * kBlock + 5);
  Misbehaviour unknownTotal;
  unknownTotal.unknownTotal = true;
  settings_.httpPolicy.executeRetryCount = 0;
  int index = 0;
  for (int sink : {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_MEMORY}) {
    const std::string path = "/star" + std::to_string(index++);
    server_.serve(path, body, unknownTotal);
    ZPResponse response = run(request(path, sink));
    EXPECT_EQ(response.getErrorCode(), ZPResponse::CACHE_ERROR) << response.logString();
    EXPECT_EQ(response.getErrorMsg(), "contentLength unknown");
  }
  // The single-file sink asks for an open range, whose answer is the whole rest.
  server_.serve("/star-file", body, unknownTotal);
  ZPResponse response = run(request("/star-file", ZPRequest::OUTPUT_FILE));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
}

TEST_F(FileDownloadTaskTest, ShiftedOrLyingAnswersAreNeverWritten) {
  const std::vector<uint8_t> body = patternBytes(3 * kBlock);
  Misbehaviour shifted;
  shifted.startShift = 10;
  server_.serve("/shift", body, shifted);
  settings_.httpPolicy.executeRetryCount = 0;
  ZPResponse response = run(request("/shift", ZPRequest::OUTPUT_MEMORY));
  EXPECT_FALSE(response.isSuccess());

  Misbehaviour lying;
  lying.lengthLie = 100;
  server_.serve("/lie", body, lying);
  for (int sink : {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_MEMORY}) {
    ZPResponse lied = run(request("/lie", sink));
    if (lied.isSuccess()) {
      EXPECT_EQ(md5HexOf(contentOf(lied)), md5HexOf(body));
    }
  }
}

TEST_F(FileDownloadTaskTest, ResourceThatChangesLengthStartsOver) {
  const std::string path = "/grow";
  server_.serve(path, patternBytes(2 * kBlock, 1));
  ZPRequest req = request(path, ZPRequest::OUTPUT_CHUNK_FILE);
  {
    settings_.httpPolicy.executeRetryCount = 0;
    Misbehaviour cut;
    cut.cutFirst = 1000;
    cut.cutAfterBytes = 10;
    server_.setMisbehaviour(path, cut);
    ZPResponse failed = run(req);
    ASSERT_FALSE(failed.isSuccess());
  }
  const std::vector<uint8_t> grown = patternBytes(3 * kBlock, 2);
  server_.serve(path, grown);
  settings_.httpPolicy.executeRetryCount = 1;
  ZPResponse response = run(req);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(grown));
}

TEST_F(FileDownloadTaskTest, ResourceThatShrankBelowTheStoredBytesStartsOver) {
  const std::string path = "/shrink";
  // Answers break off after one block: part of the resource arrives before the download fails
  // for good, and the stored download waits in the cache.
  Misbehaviour cut;
  cut.cutFirst = 1000;
  cut.cutAfterBytes = kBlock;
  server_.serve(path, patternBytes(4 * kBlock, 1), cut);
  ZPRequest req = request(path, ZPRequest::OUTPUT_CHUNK_FILE);
  {
    settings_.httpPolicy.executeRetryCount = 0;
    settings_.httpPolicy.netErrorRetryCount = 0;
    settings_.threadNum = 1;
    FileDownloadTask task(settings_, storage_, req);
    ASSERT_FALSE(task.execute().isSuccess());
    ASSERT_GE(task.downloadedLength(), 2 * kBlock);
    ASSERT_LT(task.downloadedLength(), 4 * kBlock);
  }
  settings_.httpPolicy.netErrorRetryCount = 2;
  // Now the resource is shorter than what is stored: its ranges are answered with 416.
  const std::vector<uint8_t> shorter = patternBytes(kBlock / 2, 2);
  server_.serve(path, shorter);
  settings_.httpPolicy.executeRetryCount = 1;
  ZPResponse response = run(req);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(shorter));
}

// A complete download kept by a failed delivery is delivered by the next task once the server
// confirms its validator: one request for its first byte, nothing fetched again.
TEST_F(FileDownloadTaskTest, CompleteDownloadThatCouldNotBeDeliveredNeedsOnlyItsConfirmation) {
  const std::vector<uint8_t> body = patternBytes(2 * kBlock + 3);
  Misbehaviour tagged;
  tagged.etag = "\"v1\"";
  server_.serve("/done", body, tagged);
  ZPRequest req = request("/done", ZPRequest::OUTPUT_CHUNK_FILE);
  settings_.httpPolicy.executeRetryCount = 0;
  // A name longer than any file system takes: the directory is fine, so only the delivery itself
  // can fail.
  req.savePath = dir_.file(std::string(300, 'n'));
  ZPResponse undelivered = run(req);
  EXPECT_EQ(undelivered.getErrorCode(), ZPResponse::CACHE_ERROR);
  const size_t requestsBefore = server_.requestCount();

  req.savePath.clear();
  ZPResponse response = run(req);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
  ASSERT_EQ(server_.requestCount(), requestsBefore + 1);
  EXPECT_EQ(server_.requests().back().range, "bytes=0-0");
  EXPECT_EQ(server_.requests().back().ifRange, "\"v1\"");
}

TEST_F(FileDownloadTaskTest, CancelEndsEveryWaitQuickly) {
  Misbehaviour slow;
  slow.stallAfterBytes = 100;
  slow.stallMs = 10000;
  server_.serve("/slow", patternBytes(4 * kBlock), slow);
  settings_.httpPolicy.retryDelayMs = 10000;
  FileDownloadTask task(settings_, storage_, request("/slow", ZPRequest::OUTPUT_CHUNK_FILE));
  std::thread canceller([&] {
    server_.waitForRequests(1, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    task.cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  ZPResponse response = task.execute();
  canceller.join();
  EXPECT_TRUE(response.isCancelled()) << response.logString();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_TRUE(task.isCancelled());
  // The kept response is returned again without a second download.
  EXPECT_TRUE(task.execute().isCancelled());
}

TEST_F(FileDownloadTaskTest, CancelBeforeExecuteDownloadsNothing) {
  server_.serve("/never", patternBytes(10));
  FileDownloadTask task(settings_, storage_, request("/never", ZPRequest::OUTPUT_MEMORY));
  task.cancel();
  EXPECT_TRUE(task.execute().isCancelled());
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(FileDownloadTaskTest, SinkThatCannotOpenFailsAfterTwoTries) {
  std::ofstream(dir_.file("blocker")) << "x";
  settings_.rootDir = dir_.file("blocker") + "/root";
  auto storage = FileStorageManager::getInstance(settings_.rootDir, settings_.cachePolicy);
  server_.serve("/x", patternBytes(10));
  ZPRequest req = request("/x", ZPRequest::OUTPUT_FILE);
  testing::internal::CaptureStdout();
  setLogThreshold(1);
  FileDownloadTask task(settings_, storage, req);
  ZPResponse response = task.execute();
  setLogThreshold(5);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(response.getResultCode(), ZPResponse::RESULT_FAILED);
  // The system's code: ENOTDIR here; on Windows a path through a file is not found.
#ifdef _WIN32
  EXPECT_TRUE(response.getErrorCode() == 2 || response.getErrorCode() == 3)
      << response.getErrorCode();  // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
#else
  EXPECT_EQ(response.getErrorCode(), ENOTDIR);
#endif
  EXPECT_NE(log.find("fileDownload chain tryOpen retry, delay 500"), std::string::npos);
  EXPECT_NE(log.find("FileDownloadTask open failed"), std::string::npos);
  EXPECT_EQ(server_.requestCount(), 0u);
}

// A sink that took its key and then could not open its file must let the key go: the next
// download of the key is not kept waiting for it.
TEST_F(FileDownloadTaskTest, FailedOpenReleasesTheKey) {
  server_.serve("/k", patternBytes(kBlock + 5));
  // A root so long that the key can be taken but its data file's path is over the open limit.
  settings_.rootDir = dir_.path() + "/" + std::string(1000 - dir_.path().size(), 'r');
  auto storage = FileStorageManager::getInstance(settings_.rootDir, settings_.cachePolicy);
  const ZPRequest req = request("/k", ZPRequest::OUTPUT_CHUNK_FILE);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    FileDownloadTask task(settings_, storage, req);
    std::atomic<bool> finished{false};
    std::thread canceller([&task, &finished] {
      // Bounds the test should the key still be held: the wait ends as cancelled.
      for (int i = 0; i < 100 && !finished.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      task.cancel();
    });
    const ZPResponse response = task.execute();
    finished = true;
    canceller.join();
    // The second run fails like the first, at its own open, instead of waiting for the key.
    EXPECT_EQ(response.getResultCode(), ZPResponse::RESULT_FAILED) << response.logString();
    EXPECT_EQ(response.getErrorCode(), ENAMETOOLONG);
  }
}

TEST_F(FileDownloadTaskTest, ListenersAreCappedAndCalledInOrder) {
  server_.serve("/l", patternBytes(2 * kBlock));
  FileDownloadTask task(settings_, storage_, request("/l", ZPRequest::OUTPUT_MEMORY));
  std::mutex mutex;
  std::vector<int> calls;
  for (int i = 0; i < 16; ++i) {
    task.addProgressListener([&, i](const ZPRequest&, int64_t, int64_t total) {
      EXPECT_EQ(total, 2 * kBlock);
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(i);
    });
  }
  ASSERT_TRUE(task.execute().isSuccess());
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.size() % 15, 0u);
  for (int call : calls) EXPECT_LT(call, 15);
}

TEST_F(FileDownloadTaskTest, NegativeRetryCountStillMakesOneAttempt) {
  server_.serve("/neg", patternBytes(100));
  settings_.httpPolicy.executeRetryCount = -3;
  ZPResponse response = run(request("/neg", ZPRequest::OUTPUT_MEMORY));
  EXPECT_TRUE(response.isSuccess()) << response.logString();
}

TEST_F(FileDownloadTaskTest, ZeroBlockSizeFallsBackToTheDefault) {
  const std::vector<uint8_t> body = patternBytes(3000);
  server_.serve("/zero", body);
  settings_.blockSize = 0;
  for (int sink : {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_MEMORY}) {
    ZPResponse response = run(request("/zero", sink));
    ASSERT_TRUE(response.isSuccess()) << response.logString();
    EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
  }
}

TEST_F(FileDownloadTaskTest, WriteFailureIsADataWriteError) {
  if (!test::FileSizeLimit::supported()) GTEST_SKIP() << test::kNoFileSizeLimit;
  server_.serve("/big", patternBytes(8 * kBlock));
  ZPRequest req = request("/big", ZPRequest::OUTPUT_CHUNK_FILE);
  settings_.httpPolicy.executeRetryCount = 0;
  // Tests run as root, so permissions cannot make a write fail: a file-size limit does. It holds
  // for the whole process only while the task runs.
  ZPResponse response;
  {
    test::FileSizeLimit limit(kBlock);
    ASSERT_TRUE(limit.applied());
    response = run(req);
  }
  EXPECT_EQ(response.getErrorCode(), ZPResponse::DATA_WRITE_ERROR) << response.logString();
  EXPECT_EQ(response.extraErrorCode, EFBIG);
}

TEST_F(FileDownloadTaskTest, EveryExecutionSendsOneMetricsRecord) {
  ASSERT_TRUE(Pelvar_Init(PelvarConfig()));
  Pelvar_ClearUploaded();
  server_.serve("/metrics", patternBytes(kBlock + 1));
  ZPRequest req = request("/metrics", ZPRequest::OUTPUT_MEMORY);
  req.scene = "unit";
  FileDownloadTask task(settings_, storage_, req);
  ASSERT_TRUE(task.execute().isSuccess());
  task.execute();  // the kept response: no second record
  ASSERT_TRUE(Pelvar_WaitDelivered(5000));
  std::vector<PelvarRecord> records = Pelvar_Uploaded();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, "app_performance");
  const std::string& json = records[0].body;
  EXPECT_NE(json.find("\"result\":\t0"), std::string::npos) << json;
  EXPECT_NE(json.find("\"http_code\":\t206"), std::string::npos) << json;
  EXPECT_NE(json.find("\"content_length\":\t4097"), std::string::npos) << json;
  EXPECT_NE(json.find("\"download_size\":\t4097"), std::string::npos) << json;
  EXPECT_NE(json.find("\"scene\":\t\"unit\""), std::string::npos) << json;
  EXPECT_NE(json.find(server_.host()), std::string::npos) << json;
  Pelvar_ClearUploaded();
  Pelvar_Shutdown();
}

// How a download is split, and what it costs the server, over the sinks: a link that one
// connection fills keeps one; a link that limits every connection gets threadNum of them (the
// single-file sink keeps one, as it is one range), also when each answer starts with a burst at
// full speed before its limit holds (a first window would see the link's rate, not the limit's).
// Either way every byte is sent about once.
struct SplitCase {
  const char* name;
  int sink;
  int64_t bytesPerSecond;  // per answer; 0: as fast as loopback goes
  int64_t burstBytes;      // sent at once before each answer's pace holds
  int splitThresholdMs;    // 8 MiB paced at 1-2 MiB/s take seconds: more than 500 ms until the
                           // fourth connection
  int leastTransfers;      // answers sent at once at least and at most (1 and 1: never split)
  int mostTransfers;
};

void PrintTo(const SplitCase& split, std::ostream* out) { *out << split.name; }

class SplitTest : public FileDownloadTaskTest, public testing::WithParamInterface<SplitCase> {};

TEST_P(SplitTest, SplitsOnlyWhenItPaysAndSendsEveryByteOnce) {
  const SplitCase& split = GetParam();
  const int64_t size = 8 << 20;
  const std::vector<uint8_t> body = patternBytes(static_cast<size_t>(size), 7);
  Misbehaviour paced;
  paced.bytesPerSecond = split.bytesPerSecond;
  paced.burstBytes = split.burstBytes;
  server_.serve("/split", body, paced);
  settings_.blockSize = 64 << 10;
  settings_.threadNum = 4;
  settings_.splitThresholdMs = split.splitThresholdMs;
  ZPResponse response = run(request("/split", split.sink));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(md5HexOf(contentOf(response)), md5HexOf(body));
  EXPECT_LE(server_.bodyBytesSent(), size + std::max<int64_t>(size / 100, 64 << 10));
  EXPECT_GE(server_.mostAnswersAtOnce(), split.leastTransfers);
  EXPECT_LE(server_.mostAnswersAtOnce(), split.mostTransfers);
}

// A paced link is split (to threadNum on a quiet machine; a machine busy with sanitizers and
// parallel tests can make a steady connection's gain look small and settle earlier), a fast one
// never. Under a limit that each answer starts with a burst, every connection's gain shows only
// past the bursts, and the download must reach threadNum.
INSTANTIATE_TEST_SUITE_P(
    EverySink, SplitTest,
    testing::Values(
        SplitCase{"ChunkedFast", ZPRequest::OUTPUT_CHUNK_FILE, 0, 0, 2000, 1, 1},
        SplitCase{"FileFast", ZPRequest::OUTPUT_FILE, 0, 0, 2000, 1, 1},
        SplitCase{"MemoryFast", ZPRequest::OUTPUT_MEMORY, 0, 0, 2000, 1, 1},
        SplitCase{"ChunkedPaced", ZPRequest::OUTPUT_CHUNK_FILE, 2 << 20, 0, 500, 2, 4},
        SplitCase{"MemoryPaced", ZPRequest::OUTPUT_MEMORY, 2 << 20, 0, 500, 2, 4},
        SplitCase{"ChunkedBurstThenLimit", ZPRequest::OUTPUT_CHUNK_FILE, 1 << 20, 256 << 10, 500,
                  4, 4},
        SplitCase{"MemoryBurstThenLimit", ZPRequest::OUTPUT_MEMORY, 1 << 20, 256 << 10, 500, 4,
                  4}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zephyl
