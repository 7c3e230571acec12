// OUTPUT_STREAM through the public interface against a loopback server of the test's own: the
// bytes reach onData exactly and in order (one transfer, and parallel ranges), onData returning
// false stops the download soon, a cut transfer resumes at the next byte, and a resource that
// changed after bytes were handed over fails with STREAM_ERROR.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using zephyl::test::SeenRequest;

constexpr int64_t kBlock = 64 * 1024;

class StreamOutputTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.blockSize = kBlock;
    settings_.threadNum = 1;
    settings_.splitThresholdMs = 0;  // every transfer opens at once
    settings_.httpPolicy.retryDelayMs = 0;
    settings_.httpPolicy.executeRetryCount = 0;
    settings_.httpPolicy.connectTimeoutMs = 2000;
  }

  // A stream request whose onData keeps the bytes (stopping after stopAfter bytes when positive)
  // and notes whether two calls ever overlapped.
  ZPRequest streamRequest(const std::string& path, int64_t stopAfter = 0) {
    ZPRequest request(server_.url(path));
    request.outputType = ZPRequest::OUTPUT_STREAM;
    request.onData = [this, stopAfter](const ZPRequest&, const char* data, size_t size) {
      if (inside_.fetch_add(1) != 0) overlapped_ = true;
      bool goOn = true;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), data, data + size);
        if (stopped_) callsAfterStop_ = true;
        stopped_ = stopAfter > 0 && static_cast<int64_t>(received_.size()) >= stopAfter;
        goOn = !stopped_;
      }
      inside_.fetch_sub(1);
      return goOn;
    };
    return request;
  }

  ZPResponse download(const ZPRequest& request) {
    Zephyl manager(settings_);
    return manager.execute(request);
  }

  std::vector<uint8_t> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  zephyl::test::TempDir dir_;
  zephyl::test::TestHttpServer server_;
  ZPSetting settings_{dir_.file("root"), dir_.file("save")};
  std::mutex mutex_;
  std::vector<uint8_t> received_;
  bool stopped_ = false;
  bool callsAfterStop_ = false;
  std::atomic<int> inside_{0};
  std::atomic<bool> overlapped_{false};
};

class StreamTransfersTest : public StreamOutputTest, public testing::WithParamInterface<int> {};

TEST_P(StreamTransfersTest, DeliversExactlyTheServersBytesInOrderAndStoresNothing) {
  settings_.threadNum = GetParam();
  const std::vector<uint8_t> body = patternBytes(40 * kBlock + 123, 41);
  Misbehaviour paced;
  paced.bytesPerSecond = 2 << 20;  // slow enough for every transfer to run at once
  paced.etag = "\"v1\"";
  server_.serve("/file", body, paced);

  const ZPResponse response = download(streamRequest("/file"));
  ASSERT_TRUE(response.isSuccess()) << response.errorCode << " " << response.errorMsg;
  EXPECT_EQ(response.fileLength, static_cast<int64_t>(body.size()));
  EXPECT_TRUE(response.outputFilePath.empty());
  EXPECT_TRUE(received() == body);
  EXPECT_FALSE(overlapped_.load());
  if (GetParam() > 1) {
    EXPECT_GE(server_.mostAnswersAtOnce(), 2);
  }
  // Nothing of a stream is kept on disk: no data, progress or cache file.
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path(), error)) {
    EXPECT_FALSE(entry.is_regular_file()) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(OneAndFourTransfers, StreamTransfersTest, testing::Values(1, 4));

TEST_F(StreamOutputTest, OnDataReturningFalseStopsTheDownloadSoon) {
  settings_.threadNum = 4;
  const std::vector<uint8_t> body = patternBytes(64 << 20, 42);
  Misbehaviour paced;
  paced.bytesPerSecond = 1 << 20;  // 16 s at least for the whole body
  server_.serve("/long", body, paced);

  const auto started = std::chrono::steady_clock::now();
  const ZPResponse response = download(streamRequest("/long", 100));
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  EXPECT_EQ(response.resultCode, ZPResponse::RESULT_CANCELLED);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_STOPPED);
  EXPECT_FALSE(callsAfterStop_);
  const std::vector<uint8_t> got = received();
  EXPECT_TRUE(std::equal(got.begin(), got.end(), body.begin()));
  EXPECT_LT(seconds.count(), 8.0);  // loose: the whole body takes 16 s
}

TEST_F(StreamOutputTest, CutTransferResumesAtTheNextByteNotHandedOver) {
  const std::vector<uint8_t> body = patternBytes(8 * kBlock + 5, 43);
  Misbehaviour cut;
  cut.etag = "\"v1\"";
  cut.cutFirst = 1;
  cut.cutAfterBytes = 30000;  // inside the first answer (one block)
  server_.serve("/file", body, cut);

  const ZPResponse response = download(streamRequest("/file"));
  ASSERT_TRUE(response.isSuccess()) << response.errorMsg;
  EXPECT_TRUE(received() == body);
  bool resumed = false;
  for (const SeenRequest& seen : server_.requests()) {
    if (seen.range.rfind("bytes=30000-", 0) == 0) resumed = seen.ifRange == "\"v1\"";
  }
  EXPECT_TRUE(resumed);
}

// The resumed range meets another resource: the whole new one (an If-Range that no longer
// matches), or a part of it under another validator (a server that ignores If-Range).
class StreamChangedResourceTest : public StreamOutputTest,
                                  public testing::WithParamInterface<bool> {};

TEST_P(StreamChangedResourceTest, FailsWithTheStreamCodeAndHandsOverNoWrongByte) {
  const std::vector<uint8_t> body = patternBytes(8 * kBlock, 44);
  Misbehaviour cut;
  cut.etag = "\"v1\"";
  cut.cutFirst = 1;
  cut.cutAfterBytes = 30000;  // inside the first answer (one block)
  server_.serve("/file", body, cut);
  Misbehaviour changed;
  changed.etag = "\"v2\"";
  changed.ignoreIfRange = GetParam();
  ZPRequest request = streamRequest("/file");
  const ZPRequest::DataCallback keep = request.onData;
  std::once_flag change;
  request.onData = [&](const ZPRequest& r, const char* data, size_t size) {
    // The first answer is running (and will be cut): from now on the resource is another one.
    std::call_once(change, [&] { server_.setMisbehaviour("/file", changed); });
    return keep(r, data, size);
  };

  const ZPResponse response = download(request);
  EXPECT_EQ(response.resultCode, ZPResponse::RESULT_FAILED);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_ERROR) << response.errorMsg;
  const std::vector<uint8_t> got = received();
  EXPECT_EQ(got.size(), 30000u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), body.begin()));
}

INSTANTIATE_TEST_SUITE_P(WholeOrPart, StreamChangedResourceTest, testing::Bool());

TEST_F(StreamOutputTest, StreamWithoutOnDataFailsAtOnce) {
  ZPRequest request(server_.url("/none"));
  request.outputType = ZPRequest::OUTPUT_STREAM;
  const ZPResponse response = download(request);
  EXPECT_EQ(response.resultCode, ZPResponse::RESULT_FAILED);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_ERROR);
  EXPECT_EQ(server_.requestCount(), 0u);
}

}  // namespace
