// Checked content through the public interface: a request's checksum is checked before
// delivery, for every sink, for parallel and resumed downloads, and per request when several
// requests share one download. Against a loopback server of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/file_contents.h"
#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::md5HexOf;
using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using zephyl::test::readBytes;
using zephyl::test::sha256HexOf;

constexpr int64_t kBlock = zephyl::test::LoopbackDownload::kTestBlock;
constexpr size_t kSize = 12 * kBlock + 77;

bool exists(const std::string& path) { return std::ifstream(path).good(); }

class CheckedContentTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.threadNum = 3;
    settings_.splitThresholdMs = 0;  // every transfer at once: several ranges in parallel
    settings_.httpPolicy.executeRetryCount = 2;
    server_.serve("/file", body_);
  }

  ZPRequest request(int outputType, const std::string& checksum, const std::string& name = "out") {
    ZPRequest request(server_.url("/file"));
    request.outputType = outputType;
    if (outputType != ZPRequest::OUTPUT_MEMORY) request.savePath = dir_.file(name);
    request.checksum = checksum;
    return request;
  }

  const std::vector<uint8_t> body_ = patternBytes(kSize, 5);
  const std::string sha256_ = "sha256:" + sha256HexOf(body_);
  const std::string wrong_ = "sha256:" + std::string(64, 'a');
};

class CheckedSinkTest : public CheckedContentTest, public testing::WithParamInterface<int> {};

TEST_P(CheckedSinkTest, OnlyContentWithTheNamedDigestIsDelivered) {
  Zephyl manager(settings_);
  // A file the user has at the target stays as it is when the content fails its check.
  { std::ofstream(dir_.file("out")) << "kept"; }
  ZPResponse failed = manager.execute(request(GetParam(), wrong_));
  EXPECT_EQ(failed.getResultCode(), ZPResponse::RESULT_FAILED);
  EXPECT_EQ(failed.getErrorCode(), ZPResponse::CHECKSUM_MISMATCH);
  EXPECT_NE(failed.getErrorMsg().find("sha256 expected " + std::string(64, 'a') + ", got " +
                                      sha256HexOf(body_)),
            std::string::npos)
      << failed.getErrorMsg();
  EXPECT_EQ(failed.getData(), nullptr);
  EXPECT_EQ(failed.getFile(), "");
  if (GetParam() != ZPRequest::OUTPUT_MEMORY) {
    EXPECT_EQ(readBytes(dir_.file("out")), std::vector<uint8_t>({'k', 'e', 'p', 't'}));
  }
  EXPECT_EQ(failed.getSha256(), "");
  EXPECT_LE(server_.bodyBytesSent(), static_cast<int64_t>(kSize) + 3 * kBlock)
      << "a mismatch is not fetched again";

  // The stored download was dropped: the next one fetches every byte anew. The right digest, in
  // capitals and with its other spelling, delivers.
  const int64_t sentBefore = server_.bodyBytesSent();
  std::string upper = "SHA-256:" + sha256HexOf(body_);
  for (size_t i = 8; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  ZPResponse response = manager.execute(request(GetParam(), upper));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  // The server counts a piece once its write returns, which may be after the client has it.
  for (int i = 0; i < 200 && server_.bodyBytesSent() - sentBefore < static_cast<int64_t>(kSize);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(server_.bodyBytesSent() - sentBefore, static_cast<int64_t>(kSize));
  EXPECT_EQ(response.getSha256(), sha256HexOf(body_));
  EXPECT_EQ(response.getData() ? *response.getData() : readBytes(response.getFile()), body_);

  ZPResponse md5 = manager.execute(request(GetParam(), "md5:" + md5HexOf(body_)));
  ASSERT_TRUE(md5.isSuccess()) << md5.logString();
  EXPECT_EQ(md5.getMd5Etag(), md5HexOf(body_));
}

INSTANTIATE_TEST_SUITE_P(Sinks, CheckedSinkTest,
                         testing::Values(ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE,
                                         ZPRequest::OUTPUT_MEMORY));

TEST_F(CheckedContentTest, MalformedChecksumFailsBeforeAnyRequest) {
  Zephyl manager(settings_);
  for (const std::string& bad : {std::string("sha256:abc"), "sha1:" + std::string(40, '0'), "md5" + sha256_}) {
    ZPResponse response = manager.execute(request(ZPRequest::OUTPUT_CHUNK_FILE, bad));
    EXPECT_EQ(response.getErrorCode(), ZPResponse::ILLEGAL_CHECKSUM) << bad;
  }
  EXPECT_EQ(server_.requestCount(), 0u);
}

// A download resumed in a new manager: its first bytes are read back from the stored file.
TEST_F(CheckedContentTest, ResumedDownloadIsCheckedOverAllItsBytes) {
  settings_.threadNum = 1;
  settings_.httpPolicy.executeRetryCount = 0;
  Misbehaviour cut;
  cut.cutFirst = 1;
  cut.cutAfterBytes = 3 * kBlock + 10;
  server_.serve("/file", body_, cut);
  Misbehaviour failing;
  failing.failFirst = 1000;
  {
    Zephyl manager(settings_);
    ZPRequest first = request(ZPRequest::OUTPUT_CHUNK_FILE, sha256_);
    std::atomic<bool> switched{false};
    first.onProgress = [&](const ZPRequest&, int64_t downloaded, int64_t) {
      if (downloaded >= kBlock && !switched.exchange(true)) {
        server_.setMisbehaviour("/file", failing);
      }
    };
    ASSERT_FALSE(manager.execute(first).isSuccess());
  }
  server_.setMisbehaviour("/file", Misbehaviour());
  const int64_t sentBefore = server_.bodyBytesSent();
  Zephyl manager(settings_);
  ZPResponse response = manager.execute(request(ZPRequest::OUTPUT_CHUNK_FILE, sha256_));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_LT(server_.bodyBytesSent() - sentBefore, static_cast<int64_t>(kSize)) << "not resumed";
  EXPECT_EQ(response.getSha256(), sha256HexOf(body_));
}

// Requests that join one download are each checked on their own digest, whichever of them
// started it; a target whose request refuses the content gets nothing.
TEST_F(CheckedContentTest, JoinedRequestsAreEachCheckedOnTheirOwn) {
  Misbehaviour slow;
  slow.delayMs = 300;
  for (const bool starterRight : {true, false}) {
    SCOPED_TRACE(starterRight ? "the starter's digest is right" : "the joiner's digest is right");
    server_.serve("/file", body_, slow);
    server_.clearRequests();
    const std::string a = starterRight ? "a1" : "a2", b = starterRight ? "b1" : "b2";
    const std::string wrongMd5 = "md5:" + std::string(32, '0');
    Zephyl manager(settings_);
    std::future<ZPResponse> first = std::async(std::launch::async, [&] {
      return manager.execute(
          request(ZPRequest::OUTPUT_CHUNK_FILE, starterRight ? sha256_ : wrongMd5, a));
    });
    ASSERT_TRUE(server_.waitForRequests(1, 5000));
    ZPResponse second =
        manager.execute(request(ZPRequest::OUTPUT_FILE, starterRight ? wrongMd5 : sha256_, b));
    ZPResponse own = first.get();
    const ZPResponse& right = starterRight ? own : second;
    const ZPResponse& refused = starterRight ? second : own;
    ASSERT_TRUE(right.isSuccess()) << right.logString();
    EXPECT_EQ(readBytes(right.getFile()), body_);
    EXPECT_EQ(refused.getErrorCode(), ZPResponse::CHECKSUM_MISMATCH) << refused.logString();
    EXPECT_NE(refused.getErrorMsg().find("md5 expected"), std::string::npos);
    EXPECT_FALSE(exists(dir_.file(starterRight ? b : a)));
    EXPECT_LE(server_.bodyBytesSent(), static_cast<int64_t>(2 * kSize)) << "one fetch per round";
  }
}

}  // namespace
