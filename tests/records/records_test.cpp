#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "records/response_content.h"
#include "zephyl/zephyl.h"

namespace {

TEST(RequestTest, IdsFollowConstructionAndCopiesKeepThem) {
  ZPRequest first;
  ZPRequest second("http://127.0.0.1/a");
  EXPECT_EQ(second.getRequestId(), first.getRequestId() + 1);

  ZPRequest copy(first);
  ZPRequest moved(std::move(copy));
  ZPRequest assigned;
  assigned = second;
  EXPECT_EQ(moved.getRequestId(), first.getRequestId());
  EXPECT_EQ(assigned.getRequestId(), second.getRequestId());
  // Copies never draw from the counter.
  ZPRequest next;
  EXPECT_EQ(next.getRequestId(), second.getRequestId() + 2);
}

TEST(RequestTest, IdsAreUniqueAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<int>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kPerThread; ++i) ids[t].push_back(ZPRequest().getRequestId());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<int> unique;
  for (const auto& list : ids) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(*unique.rbegin() - *unique.begin(), kThreads * kPerThread - 1);
}

TEST(RequestTest, DefaultsAndLogString) {
  ZPRequest request;
  EXPECT_EQ(request.userValue, 0);
  EXPECT_EQ(request.renameIfExists, 0);
  EXPECT_FALSE(request.highPriority);
  EXPECT_EQ(request.outputType, ZPRequest::OUTPUT_CHUNK_FILE);
  EXPECT_FALSE(request.onStart);
  EXPECT_FALSE(request.onProgress);
  EXPECT_FALSE(request.onComplete);
  EXPECT_EQ(request.logString(), "url =  fileKey = ");

  request.url = "http://h/x";
  request.fileKey = "abc";
  EXPECT_EQ(request.logString(), "url = http://h/x fileKey = abc");
  EXPECT_EQ(request.getUrl(), "http://h/x");
}

TEST(BatchRequestTest, CopiesRequestsInOrderWithTheirIds) {
  std::vector<ZPRequest> requests{ZPRequest("u0"), ZPRequest("u1"), ZPRequest("u2")};
  ZPBatchRequest batch(requests);
  ASSERT_EQ(batch.requests.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(batch.requests[i].getRequestId(), requests[i].getRequestId());
    EXPECT_EQ(batch.requests[i].url, requests[i].url);
  }
  EXPECT_FALSE(batch.onBatchComplete);

  ZPBatchRequest& self = batch;
  batch = self;
  EXPECT_EQ(batch.requests.size(), 3u);
}

TEST(ResponseTest, DefaultIsSuccessWithoutContent) {
  ZPResponse response;
  EXPECT_TRUE(response.isSuccess());
  EXPECT_FALSE(response.isCancelled());
  EXPECT_EQ(response.extraErrorCode, 0);
  EXPECT_EQ(response.fileLength(), 0);
  EXPECT_EQ(response.getData(), nullptr);
  EXPECT_EQ(response.logString(), "result = 0 outputFilePath = ");
}

TEST(ResponseTest, LogStringOfFailureAndMemoryResult) {
  ZPResponse failed(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_URL, "error: empty url");
  EXPECT_FALSE(failed.isSuccess());
  EXPECT_EQ(failed.logString(), "result = -1 errorCode = -9995 errorMsg = error: empty url");

  ZPResponse memory;
  memory.outputData = std::make_shared<std::vector<uint8_t>>(3);
  memory.outputFilePath = "ignored";
  EXPECT_EQ(memory.logString(),
            "result = 0 outputData = " +
                std::to_string(reinterpret_cast<uintptr_t>(memory.outputData.get())));

  ZPResponse cancelled(ZPResponse::RESULT_CANCELLED, 0, "");
  EXPECT_TRUE(cancelled.isCancelled());
  EXPECT_FALSE(cancelled.isSuccess());
  EXPECT_EQ(cancelled.logString(), "result = -2 errorCode = 0 errorMsg = ");
}

TEST(ResponseTest, CopiesShareTheBufferAndFileLengthReadsBothWays) {
  ZPResponse response;
  response.outputData = std::make_shared<std::vector<uint8_t>>(4, 7);
  response.fileLength = 4;
  ZPResponse copy = response;
  EXPECT_EQ(copy.getData().get(), response.getData().get());
  int64_t asMember = copy.fileLength;
  EXPECT_EQ(asMember, 4);
  EXPECT_EQ(copy.fileLength(), 4);
}

// The MD5 of a big file is expensive: it is read only when a digest is asked for, once per
// digest, through the reader the library handed the response (copies share it).
TEST(ResponseTest, DeliveredFileIsReadOnlyForAnAskedDigest) {
  ZPResponse response;
  response.outputFilePath = "delivered.bin";
  int reads = 0;
  bool readable = false;
  zephyl::ResponseContent::setFileReader(
      response, [&](const std::string& path, const zephyl::ResponseContent::BlockSink& sink) {
        ++reads;
        EXPECT_EQ(path, "delivered.bin");
        return readable && sink(reinterpret_cast<const unsigned char*>("abc"), 3);
      });
  ZPResponse copy = response;
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(copy.getMd5Etag(), "");  // unreadable now: not cached
  readable = true;
  EXPECT_EQ(copy.getMd5Etag(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(copy.getMd5Etag(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(copy.getSha256(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(reads, 3);

  ZPResponse handMade;  // no reader: the records open no file themselves
  handMade.outputFilePath = "delivered.bin";
  EXPECT_EQ(handMade.getSha256(), "");
}

TEST(ResponseTest, ConstantsHaveTheirValues) {
  EXPECT_EQ(ZPResponse::RESULT_SUCCESS, 0);
  EXPECT_EQ(ZPResponse::RESULT_FAILED, -1);
  EXPECT_EQ(ZPResponse::RESULT_CANCELLED, -2);
  EXPECT_EQ(ZPResponse::EXECUTE_ERROR, -9990);
  EXPECT_EQ(ZPResponse::BLOCK_HTTP_SERVER_ERROR, -9991);
  EXPECT_EQ(ZPResponse::BLOCK_HTTP_NETWORK_ERROR, -9992);
  EXPECT_EQ(ZPResponse::DATA_WRITE_ERROR, -9993);
  EXPECT_EQ(ZPResponse::CANCELLED_ERROR, -9994);
  EXPECT_EQ(ZPResponse::ILLEGAL_URL, -9995);
  EXPECT_EQ(ZPResponse::CACHE_ERROR, -9996);
}

TEST(SettingTest, DefaultsAndArgumentOrder) {
  ZPSetting setting("/root/dir", "/save/dir");
  EXPECT_EQ(setting.rootDir, "/root/dir");
  EXPECT_EQ(setting.saveDirPath, "/save/dir");
  EXPECT_EQ(setting.taskThreadNum, 2);
  EXPECT_EQ(setting.threadNum, 4);
  EXPECT_EQ(setting.blockSize, 2097152);

  const ZPHttpPolicy& http = setting.httpPolicy;
  EXPECT_EQ(http.timeoutMs, 0);
  EXPECT_EQ(http.connectTimeoutMs, 10000);
  EXPECT_EQ(http.serverErrorRetryCount, 1);
  EXPECT_EQ(http.netErrorRetryCount, 2);
  EXPECT_EQ(http.executeRetryCount, 1);
  EXPECT_EQ(http.retryDelayMs, 5000);
  EXPECT_TRUE(http.domainMap.empty());

  const ZPCachePolicy& cache = setting.cachePolicy;
  EXPECT_EQ(cache.maxSize, 104857600);
  EXPECT_EQ(cache.maxCount, 100);
  EXPECT_EQ(cache.cacheExpiredTime, -1);
}

TEST(SettingTest, CopyHoldsItsOwnDomainMap) {
  ZPSetting setting("r", "s");
  setting.httpPolicy.domainMap["a.example"] = {"b.example"};
  ZPSetting copy = setting;
  copy.httpPolicy.domainMap["a.example"].push_back("c.example");
  EXPECT_EQ(setting.httpPolicy.domainMap["a.example"].size(), 1u);
  EXPECT_EQ(copy.httpPolicy.domainMap["a.example"].size(), 2u);

  ZPHttpPolicy& policy = copy.httpPolicy;
  policy = copy.httpPolicy;
  EXPECT_EQ(copy.httpPolicy.domainMap["a.example"].size(), 2u);
}

}  // namespace
