// LoopbackDownload: the set-up that download tests share, for their fixtures to derive from beside
// testing::Test: a temporary directory, a loopback server of the test's own, and settings for
// small blocks and quick failures (4 KiB blocks, no pause between attempts, 2 s to connect) whose
// storage root and save directory lie in the temporary directory. A fixture's SetUp checks
// serverStarted() and adds its own settings. One thread at a time, the test's.
#pragma once

#include <cstdint>

#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace zephyl::test {

class LoopbackDownload {
 public:
  static constexpr int64_t kTestBlock = 4096;

  LoopbackDownload() {
    settings_.blockSize = kTestBlock;
    settings_.httpPolicy.retryDelayMs = 0;
    settings_.httpPolicy.connectTimeoutMs = 2000;
  }
  LoopbackDownload(const LoopbackDownload&) = delete;
  LoopbackDownload& operator=(const LoopbackDownload&) = delete;

 protected:
  ~LoopbackDownload() = default;

  // One synchronous download through a manager of its own, made with settings_.
  ZPResponse download(const ZPRequest& request) {
    Zephyl manager(settings_);
    return manager.execute(request);
  }

  TempDir dir_;
  TestHttpServer server_;
  ZPSetting settings_{dir_.file("root"), dir_.file("save")};
};

}  // namespace zephyl::test
