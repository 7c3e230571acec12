// HTTPS through Schannel against a loopback server that a ctest fixture starts on the host
// (https_server.py): a certificate for DNS:localhost issued by a throwaway CA. The CA file
// decides trust: the issuing CA is accepted, another CA refused; a directory of certificates,
// which Schannel cannot read, fails; verifyTls = false accepts any peer. The system store is not
// tried: under Wine, Schannel takes an unknown issuer when no CA file is given.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/fs.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "zephyl/zephyl.h"

namespace zephyl {
namespace {

using test::readBytes;

// The key=value lines of the server's description; empty when it cannot be read.
std::map<std::string, std::string> readServerInfo() {
  std::map<std::string, std::string> info;
  const char* path = std::getenv("ZEPHYL_HTTPS_SERVER_INFO");
  if (path == nullptr) return info;
  const std::vector<uint8_t> content = readBytes(path);
  std::string text(content.begin(), content.end());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) info[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return info;
}

class SchannelHttpsTest : public testing::Test {
 protected:
  void SetUp() override {
    info_ = readServerInfo();
    ASSERT_FALSE(info_["port"].empty()) << "no server description in ZEPHYL_HTTPS_SERVER_INFO";
    ASSERT_FALSE(dir_.path().empty());
    body_ = readBytes(info_["body"]);
    ASSERT_FALSE(body_.empty()) << info_["body"];
    settings_.rootDir = dir_.file("root");
    settings_.saveDirPath = dir_.file("save");
    settings_.blockSize = 64 * 1024;  // several ranged requests over one body
    settings_.httpPolicy.retryDelayMs = 0;
  }

  ZPResponse download() {
    Zephyl manager(settings_);
    ZPRequest request("https://localhost:" + info_["port"] + "/body.bin");
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    return manager.execute(request);
  }

  std::map<std::string, std::string> info_;
  std::vector<uint8_t> body_;
  test::TempDir dir_;
  ZPSetting settings_{std::string(), std::string()};
};

TEST_F(SchannelHttpsTest, IssuingCaFileIsTrusted) {
  settings_.httpPolicy.caCertificatePath = info_["ca"];
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
}

TEST_F(SchannelHttpsTest, AnotherCaFileIsRefused) {
  settings_.httpPolicy.caCertificatePath = info_["otherCa"];
  settings_.httpPolicy.executeRetryCount = 0;
  settings_.httpPolicy.netErrorRetryCount = 0;
  const ZPResponse response = download();
  ASSERT_FALSE(response.isSuccess());
  EXPECT_EQ(response.getErrorCode(), ZPResponse::BLOCK_HTTP_NETWORK_ERROR) << response.logString();
  EXPECT_EQ(response.extraErrorCode, CURLE_PEER_FAILED_VERIFICATION) << response.logString();
}

// Schannel reads no directory of hashed certificates. Such a path must fail the transfer, never
// leave the peer unchecked.
TEST_F(SchannelHttpsTest, CaDirectoryIsRefusedNotIgnored) {
  settings_.httpPolicy.caCertificatePath = fs::parentDirOf(info_["ca"]);
  settings_.httpPolicy.executeRetryCount = 0;
  settings_.httpPolicy.netErrorRetryCount = 0;
  const ZPResponse response = download();
  ASSERT_FALSE(response.isSuccess()) << settings_.httpPolicy.caCertificatePath;
  EXPECT_EQ(response.getErrorCode(), ZPResponse::BLOCK_HTTP_NETWORK_ERROR) << response.logString();
  EXPECT_EQ(response.extraErrorCode, CURLE_NOT_BUILT_IN) << response.logString();
}

TEST_F(SchannelHttpsTest, UnverifiedPeerIsAcceptedWhenVerificationIsOff) {
  settings_.httpPolicy.caCertificatePath = info_["otherCa"];
  settings_.httpPolicy.verifyTls = false;
  ZPResponse response = download();
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  ASSERT_NE(response.getData(), nullptr);
  EXPECT_TRUE(*response.getData() == body_);
}

}  // namespace
}  // namespace zephyl
