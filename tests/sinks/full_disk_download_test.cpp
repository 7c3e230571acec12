// A download whose storage disk (a small tmpfs of the test's own) fills while it runs, through
// the manager against a loopback server: what was stored is recorded on the full disk and never
// fetched again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "small_disk.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace zephyl {
namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kBlock = 256 * 1024;

// Through the manager: the disk fills at the first stored bytes, every answer is cut short, and
// the download fails. A later execute, with room again, asks only for what was not stored.
TEST(FullDiskDownloadTest, DiskFilledMidDownloadKeepsWhatWasStored) {
  test::SmallDisk disk(4 * kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  test::TempDir save;
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  const size_t size = static_cast<size_t>(2 * kMiB);
  const std::vector<uint8_t> body = test::patternBytes(size, 7);
  test::Misbehaviour cut;
  cut.etag = "\"v1\"";
  cut.cutFirst = 1000;
  cut.cutAfterBytes = kBlock / 2;
  server.serve("/r", body, cut);

  ZPSetting settings(disk.path() + "/root", save.path());
  settings.blockSize = kBlock;
  settings.httpPolicy.executeRetryCount = 0;
  settings.httpPolicy.serverErrorRetryCount = 0;
  settings.httpPolicy.netErrorRetryCount = 0;
  settings.httpPolicy.retryDelayMs = 0;
  ZPRequest request(server.url("/r"));
  request.savePath = save.file("r.bin");
  std::atomic<bool> filled{false};
  std::atomic<bool> fullAtOnce{false};
  request.onProgress = [&](const ZPRequest&, int64_t, int64_t) {
    if (!filled.exchange(true)) fullAtOnce = disk.fill();
  };
  {
    Zephyl manager(settings);
    ASSERT_FALSE(manager.execute(request).isSuccess());
  }
  ASSERT_TRUE(filled.load());
  ASSERT_TRUE(fullAtOnce.load());
  disk.free();

  test::Misbehaviour healthy;
  healthy.etag = "\"v1\"";
  server.serve("/r", body, healthy);
  server.clearRequests();
  request.onProgress = nullptr;
  Zephyl manager(settings);
  int64_t stored = 0;
  ASSERT_TRUE(manager.fetchProgress(request.url, &stored, nullptr));
  ASSERT_GT(stored, 0) << "nothing recorded on the full disk";
  ZPResponse response = manager.execute(request);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_TRUE(test::readBytes(response.getFile()) == body);
  EXPECT_LE(test::bytesServedOnce(server.requests(), static_cast<int64_t>(size)),
            static_cast<int64_t>(size) - stored)
      << "stored bytes fetched again";
}

// A target on a file system of its own without room for the file: the download fails before
// its body is stored, with the target's figures, and a file of the right size goes through.
TEST(FullDiskDownloadTest, TargetWithoutRoomFailsBeforeTheFirstByte) {
  test::SmallDisk disk(1 * kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  test::TempDir root;
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  const int64_t size = 2 * kMiB;
  server.serve("/big", test::patternBytes(static_cast<size_t>(size), 9));
  server.serve("/small", test::patternBytes(static_cast<size_t>(kBlock), 10));
  ZPSetting settings(root.path(), disk.path());
  settings.blockSize = kBlock;
  settings.httpPolicy.retryDelayMs = 0;
  settings.httpPolicy.repeatLastingFailures = false;
  Zephyl manager(settings);
  for (const int type : {ZPRequest::OUTPUT_FILE, ZPRequest::OUTPUT_CHUNK_FILE}) {
    ZPRequest request(server.url("/big"));
    request.outputType = type;
    const ZPResponse response = manager.execute(request);
    EXPECT_EQ(response.errorCode, ZPResponse::CACHE_ERROR);
    EXPECT_EQ(response.cause, ZPResponse::CAUSE_DISK_FULL);
    EXPECT_EQ(response.errorMsg.find("no room on the target disk for " + std::to_string(size) +
                                     " bytes ("),
              0u)
        << response.errorMsg;
    EXPECT_NE(response.errorMsg.find(disk.path()), std::string::npos) << response.errorMsg;
    EXPECT_TRUE(test::readBytes(disk.path() + "/big").empty()) << "nothing delivered";
    // The first answer's body was refused before any byte of it was stored.
    int64_t stored = -1;
    if (manager.fetchProgress(server.url("/big"), &stored, nullptr)) {
      EXPECT_EQ(stored, 0);
    }
  }
  ZPRequest fits(server.url("/small"));
  EXPECT_TRUE(manager.execute(fits).isSuccess());
}

}  // namespace
}  // namespace zephyl
