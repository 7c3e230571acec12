// A delivered file's modification time through the public interface: the server's Last-Modified
// when the setting asks for it, the time of delivery otherwise, for both file outputs and for a
// copy delivered to a request that joined the download.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;

constexpr const char* kLastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
constexpr int64_t kLastModifiedSeconds = 1445412480;

int64_t modifiedSeconds(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_mtime);
}

int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Case {
  const char* name;
  int outputType;
  bool keepServerTime;
  bool serverSendsDate;
};

class ServerTimeTest : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.started()); }

  zephyl::test::TempDir dir_;
  zephyl::test::TestHttpServer server_;
};

TEST_P(ServerTimeTest, DeliveredFileTakesTheServerTimeOnlyWhenAsked) {
  Misbehaviour dated;
  if (GetParam().serverSendsDate) dated.lastModified = kLastModified;
  // Paced, so that the second request below joins the running download.
  dated.bytesPerSecond = 400 * 1024;
  server_.serve("/dated.bin", patternBytes(200 * 1024), dated);
  ZPSetting settings(dir_.file("root"), dir_.file("save"));
  settings.blockSize = 64 * 1024;
  settings.keepServerTime = GetParam().keepServerTime;
  Zephyl manager(settings);

  const int64_t before = nowSeconds();
  ZPRequest request(server_.url("/dated.bin"));
  request.outputType = GetParam().outputType;
  request.savePath = dir_.file("own.bin");
  ZPRequest joiner(server_.url("/dated.bin"));
  joiner.savePath = dir_.file("copy.bin");
  ZPResponse joined;
  std::thread second([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    joined = manager.execute(joiner);
  });
  const ZPResponse response = manager.execute(request);
  second.join();
  ASSERT_TRUE(response.isSuccess()) << response.errorMsg;
  ASSERT_TRUE(joined.isSuccess()) << joined.errorMsg;

  for (const std::string& path : {response.getFile(), joined.getFile()}) {
    SCOPED_TRACE(path);
    const int64_t modified = modifiedSeconds(path);
    if (GetParam().keepServerTime && GetParam().serverSendsDate) {
      EXPECT_EQ(modified, kLastModifiedSeconds);
    } else {
      EXPECT_GE(modified, before - 2);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ServerTimeTest,
    testing::Values(Case{"ChunkFileKeeps", ZPRequest::OUTPUT_CHUNK_FILE, true, true},
                    Case{"FileKeeps", ZPRequest::OUTPUT_FILE, true, true},
                    Case{"OffByDefault", ZPRequest::OUTPUT_CHUNK_FILE, false, true},
                    Case{"NoDateFromServer", ZPRequest::OUTPUT_FILE, true, false}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
