// A host's view of the library: only the umbrella header, linked against libzephyl.so.
#include "zephyl/zephyl.h"

#include <gtest/gtest.h>

namespace {

// Constructed before any test runs, so it is the first request of this process.
const int firstRequestId = ZPRequest("http://127.0.0.1/first").getRequestId();

TEST(HostProgramTest, FirstRequestOfTheProcessHasIdOne) { EXPECT_EQ(firstRequestId, 1); }

TEST(HostProgramTest, BuildsRecordsAndReadsTheirDefaults) {
  ZPSetting setting("/tmp/zephyl-root", "/tmp/zephyl-save");
  EXPECT_EQ(setting.blockSize, 2097152);
  EXPECT_EQ(setting.cachePolicy.maxCount, 100);
  EXPECT_EQ(setting.httpPolicy.connectTimeoutMs, 10000);

  ZPRequest request("http://127.0.0.1/file.bin");
  request.outputType = ZPRequest::OUTPUT_MEMORY;
  EXPECT_GT(request.getRequestId(), firstRequestId);
  EXPECT_EQ(request.logString(), "url = http://127.0.0.1/file.bin fileKey = ");

  ZPBatchRequest batch({request});
  EXPECT_EQ(batch.requests.front().getRequestId(), request.getRequestId());

  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_URL, "error: empty url");
  EXPECT_EQ(response.logString(), "result = -1 errorCode = -9995 errorMsg = error: empty url");
  EXPECT_EQ(response.getMd5Etag(), "");
}

TEST(HostProgramTest, GlobalInstanceAndLogLevel) {
  EXPECT_EQ(Zephyl::global(), nullptr);
  Zephyl::initGlobal(reinterpret_cast<Zephyl*>(0x10));
  EXPECT_EQ(Zephyl::global(), reinterpret_cast<Zephyl*>(0x10));
  Zephyl::initGlobal(nullptr);
  EXPECT_EQ(Zephyl::global(), nullptr);

  testing::internal::CaptureStdout();
  Zephyl::setLogLevel(ZPLogLevel::None);
  ZPResponse().getMd5Etag();  // its file cannot be opened: the open's line is a debug line
  std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(output, "") << "the library wrote to the host's output with its log off";
}

}  // namespace
