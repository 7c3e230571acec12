// The downloads of one manager share its chunk workers and the connections they keep open: a
// download that follows another on the same server needs no new connection, and every byte is
// still the server's. Against a loopback server that tells connections apart by their client port.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/httplib_runner.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::patternBytes;

// httplib states a range reaching past the end as it was asked (not cut at the end), which the
// library rightly refuses: every file is a whole number of blocks.
constexpr size_t kBlock = 16384;

class ConnectionReuseTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) {
      bodies_.push_back(patternBytes(kBlock * (3 + static_cast<size_t>(i)), 60 + i));
      const std::string body(bodies_.back().begin(), bodies_.back().end());
      server_.Get("/f" + std::to_string(i),
                  [this, body](const httplib::Request& req, httplib::Response& res) {
                    {
                      std::lock_guard<std::mutex> lock(portsMutex_);
                      clientPorts_.insert(req.remote_port);
                    }
                    res.set_content(body, "application/octet-stream");  // ranges get a 206
                  });
    }
    server_.set_keep_alive_max_count(100);  // httplib's default closes after 5 requests
    runner_ = std::make_unique<zephyl::test::HttplibRunner>(server_);
    ASSERT_TRUE(runner_->running());
  }

  // The server stops before the state its handlers use goes.
  void TearDown() override { runner_.reset(); }

  std::string url(int i) const {
    return runner_->url("/f" + std::to_string(i));
  }

  httplib::Server server_;
  std::unique_ptr<zephyl::test::HttplibRunner> runner_;
  std::mutex portsMutex_;
  std::set<int> clientPorts_;  // guarded by portsMutex_: one port per connection used
  std::vector<std::vector<uint8_t>> bodies_;
  zephyl::test::TempDir dir_;
};

TEST_P(ConnectionReuseTest, DownloadsInARowShareOneConnection) {
  ZPSetting settings(dir_.file("root"), dir_.file("save"));
  settings.threadNum = 1;  // one transfer at a time: one connection suffices
  settings.blockSize = kBlock;
  Zephyl manager(settings);
  for (int i = 0; i < 3; ++i) {
    ZPRequest request(url(i));
    request.outputType = GetParam();
    request.savePath = dir_.file("out/f" + std::to_string(i));
    ZPResponse response = manager.execute(request);
    ASSERT_TRUE(response.isSuccess()) << response.getErrorMsg();
    std::vector<uint8_t> got;
    if (GetParam() == ZPRequest::OUTPUT_MEMORY) {
      ASSERT_NE(response.getData(), nullptr);
      got = *response.getData();
    } else {
      std::ifstream in(response.getFile(), std::ios::binary);
      got.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(got, bodies_[static_cast<size_t>(i)]) << "download " << i;
  }
  std::lock_guard<std::mutex> lock(portsMutex_);
  EXPECT_EQ(clientPorts_.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EverySink, ConnectionReuseTest,
                         testing::Values(ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE,
                                         ZPRequest::OUTPUT_MEMORY));

}  // namespace
