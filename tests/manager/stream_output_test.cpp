// OUTPUT_STREAM through the public interface against a loopback server of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using zephyl::test::SeenRequest;

constexpr int64_t kBlock = 64 * 1024;

class StreamOutputTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.blockSize = kBlock;
    settings_.threadNum = 1;
    settings_.splitThresholdMs = 0;  // every transfer opens at once
    settings_.httpPolicy.executeRetryCount = 0;
  }

  // onData keeps the bytes, stops after stopAfter (when positive), notes overlapping calls.
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

  std::vector<uint8_t> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

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

// The receiver's stop ends every transfer of the stream: none asks again for the bytes after the
// ones handed over (as after a cut connection), and no request comes after execute returns.
TEST_F(StreamOutputTest, OnDataReturningFalseStopsEveryTransferAndAsksNothingMore) {
  settings_.threadNum = 4;
  const std::vector<uint8_t> body = patternBytes(64 << 20, 42);
  Misbehaviour paced;
  paced.bytesPerSecond = 1 << 20;  // 16 s at least for the whole body
  server_.serve("/long", body, paced);

  const auto started = std::chrono::steady_clock::now();
  const ZPResponse response = download(streamRequest("/long", 100));
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  const size_t requestsAtReturn = server_.requestCount();
  EXPECT_EQ(response.resultCode, ZPResponse::RESULT_CANCELLED);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_STOPPED);
  // The answer the receiver was reading stays with the response (a host checking that a URL
  // answers stops at the first bytes).
  EXPECT_TRUE(response.httpCode == 206 || response.httpCode == 200) << response.httpCode;
  EXPECT_FALSE(response.headers.empty());
  EXPECT_FALSE(callsAfterStop_);
  const std::vector<uint8_t> got = received();
  EXPECT_TRUE(std::equal(got.begin(), got.end(), body.begin()));
  EXPECT_LT(seconds.count(), 8.0);  // loose: the whole body takes 16 s
  // A transfer stopped just as its request went out may reach the server after execute returned
  // (the server reads it from its socket later), so the requests are judged once they settle:
  // none keeps coming, each transfer asked once, from a chunk's start. A request from the next
  // byte not handed over, or for a range asked already, would be a stopped transfer asking again.
  (void)server_.waitForRequests(requestsAtReturn + 4, 300);
  const size_t settled = server_.requestCount();
  EXPECT_FALSE(server_.waitForRequests(settled + 1, 300)) << "requests go on after the end";
  std::set<std::string> starts;
  for (const SeenRequest& seen : server_.requests()) {
    const std::string start = seen.range.substr(0, seen.range.find('-'));
    EXPECT_TRUE(starts.insert(start).second) << "asked again: " << seen.range;
    EXPECT_EQ(std::stoll(seen.range.substr(6)) % kBlock, 0) << seen.range;
  }
  EXPECT_LE(server_.requestCount(), 4u);
}

// The first answer is cut after 30000 bytes; the resumed range meets the same resource, the whole
// new one (an If-Range that no longer matches), or a part of it under another validator (a server
// that ignores If-Range). Only the first continues the bytes; no wrong byte is ever handed over.
enum class Resumed { kSame, kWholeNew, kPartOfNew };

class StreamResumeTest : public StreamOutputTest, public testing::WithParamInterface<Resumed> {};

TEST_P(StreamResumeTest, CutTransferResumesAtTheNextByteOrFailsWithTheStreamCode) {
  const std::vector<uint8_t> body = patternBytes(8 * kBlock + 5, 43);
  Misbehaviour cut;
  cut.etag = "\"v1\"";
  cut.cutFirst = 1;
  cut.cutAfterBytes = 30000;  // inside the first answer (one block)
  server_.serve("/file", body, cut);
  Misbehaviour changed;
  changed.etag = GetParam() == Resumed::kSame ? "\"v1\"" : "\"v2\"";
  changed.ignoreIfRange = GetParam() == Resumed::kPartOfNew;
  ZPRequest request = streamRequest("/file");
  const ZPRequest::DataCallback keep = request.onData;
  std::once_flag change;
  request.onData = [&](const ZPRequest& r, const char* data, size_t size) {
    // The first answer runs (and will be cut): its resumption meets the changed resource.
    std::call_once(change, [&] { server_.setMisbehaviour("/file", changed); });
    return keep(r, data, size);
  };

  const ZPResponse response = download(request);
  const std::vector<uint8_t> got = received();
  if (GetParam() == Resumed::kSame) {
    ASSERT_TRUE(response.isSuccess()) << response.errorMsg;
    EXPECT_TRUE(got == body);
    const std::vector<SeenRequest> seen = server_.requests();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[1].range.rfind("bytes=30000-", 0), 0u) << seen[1].range;
    EXPECT_EQ(seen[1].ifRange, "\"v1\"");
    return;
  }
  EXPECT_EQ(response.resultCode, ZPResponse::RESULT_FAILED);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_ERROR) << response.errorMsg;
  EXPECT_EQ(got.size(), 30000u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), body.begin()));
}

INSTANTIATE_TEST_SUITE_P(SameOrChanged, StreamResumeTest,
                         testing::Values(Resumed::kSame, Resumed::kWholeNew, Resumed::kPartOfNew));

TEST_P(StreamTransfersTest, StreamFromAnOffsetFetchesAndHandsOverOnlyTheRest) {
  settings_.threadNum = GetParam();
  const std::vector<uint8_t> body = patternBytes(12 * kBlock + 77, 43);
  Misbehaviour paced;
  paced.bytesPerSecond = 2 << 20;
  server_.serve("/file", body, paced);
  const int64_t offset = 3 * kBlock + 5;

  ZPRequest request = streamRequest("/file");
  request.streamOffset = offset;
  const ZPResponse response = download(request);
  ASSERT_TRUE(response.isSuccess()) << response.errorCode << " " << response.errorMsg;
  EXPECT_EQ(response.fileLength, static_cast<int64_t>(body.size()));
  EXPECT_TRUE(received() == std::vector<uint8_t>(body.begin() + offset, body.end()));
  EXPECT_FALSE(overlapped_.load());
  // No request asked for a byte before the offset.
  for (const SeenRequest& seen : server_.requests()) {
    ASSERT_TRUE(seen.hasRange);
    EXPECT_GE(std::stoll(seen.range.substr(6)), offset) << seen.range;
  }
}

// Streams that cannot run as asked fail with the stream's codes, none after handing bytes over.
TEST_F(StreamOutputTest, StreamsThatCannotRunFailClearly) {
  const std::vector<uint8_t> body = patternBytes(3 * kBlock, 44);
  server_.serve("/file", body);
  Misbehaviour whole;
  whole.ignoreRange = true;
  server_.serve("/whole", body, whole);

  ZPRequest noReceiver(server_.url("/file"));
  noReceiver.outputType = ZPRequest::OUTPUT_STREAM;
  ZPRequest negative = streamRequest("/file");
  negative.streamOffset = -1;
  ZPRequest checked = streamRequest("/file");
  checked.streamOffset = 10;
  checked.checksum = "md5:00000000000000000000000000000000";
  for (const ZPRequest& request : {noReceiver, negative, checked}) {
    const ZPResponse response = download(request);
    EXPECT_EQ(response.resultCode, ZPResponse::RESULT_FAILED);
    EXPECT_EQ(response.errorCode, request.checksum.empty() ? ZPResponse::STREAM_ERROR
                                                           : ZPResponse::ILLEGAL_CHECKSUM);
  }
  EXPECT_EQ(server_.requestCount(), 0u);

  // A server that sends the whole resource cannot serve a stream that starts later.
  ZPRequest later = streamRequest("/whole");
  later.streamOffset = kBlock;
  ZPResponse response = download(later);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_ERROR) << response.errorMsg;
  // An offset at the end is answered 416, the length in its Content-Range.
  ZPRequest atEnd = streamRequest("/file");
  atEnd.streamOffset = static_cast<int64_t>(body.size());
  response = download(atEnd);
  EXPECT_EQ(response.errorCode, ZPResponse::STREAM_ERROR);
  EXPECT_EQ(response.httpCode, 416) << response.errorCode << " " << response.errorMsg;
  EXPECT_EQ(response.errorMsg, "stream offset " + std::to_string(body.size()) +
                                   " is at or past the end of the resource (length " +
                                   std::to_string(body.size()) + ")");
  EXPECT_TRUE(received().empty());
}

}  // namespace
