// The user's proxy settings on Windows, written into the registry as Windows keeps them, carry a
// download through the loopback test proxy; useSystemProxy = false ignores them. Windows writes
// both the Internet Settings values (ProxyEnable, ProxyServer, ProxyOverride) and the binary
// Connections\DefaultConnectionSettings; Wine's WinHttpGetIEProxyConfigForCurrentUser reads only
// the binary one (with the values alone the download goes direct), so both are written.
//
// The Wine prefix is shared by the tests that run beside this one, and while the registry names
// the test proxy every download of theirs would ask for it too. Two guards: the binary runs
// alone (RUN_SERIAL, tests/CMakeLists.txt), and the settings bypass 127.0.0.1, the only host the
// other tests use; this test alone downloads from "localhost". The settings are restored when
// each test ends.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/test_proxy_server.h"
#include "zephyl/zephyl.h"

namespace {

const wchar_t* const kSettingsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t* const kConnectionsKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// One registry value of the current user, put back (or removed) when the test ends.
class SavedValue {
 public:
  SavedValue(const wchar_t* key, const wchar_t* name) : key_(key), name_(name) {
    DWORD size = 0;
    had_ = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &type_, nullptr, &size) ==
           ERROR_SUCCESS;
    if (had_) {
      data_.resize(size);
      had_ = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type_,
                          data_.data(), &size) == ERROR_SUCCESS;
    }
  }
  ~SavedValue() {
    if (had_) {
      write(type_, data_);
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, key_, name_);
    }
  }
  SavedValue(const SavedValue&) = delete;
  SavedValue& operator=(const SavedValue&) = delete;

  bool write(DWORD type, const std::vector<uint8_t>& data) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const bool written = RegSetValueExW(key, name_, 0, type, data.data(),
                                        static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
  }

 private:
  const wchar_t* key_;
  const wchar_t* name_;
  bool had_ = false;
  DWORD type_ = 0;
  std::vector<uint8_t> data_;
};

std::vector<uint8_t> wideBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

void put32(std::vector<uint8_t>& bytes, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// DefaultConnectionSettings as Windows writes it: version 0x46, a change counter, the flags
// (1 direct, 2 manual proxy, 4 configuration script, 8 automatic detection), then the proxy
// list, the bypass list and the script URL, each an ANSI text after its length; then reserved
// bytes.
std::vector<uint8_t> connectionSettings(const std::string& proxy, const std::string& bypass) {
  std::vector<uint8_t> bytes;
  put32(bytes, 0x46);
  put32(bytes, 2);
  put32(bytes, 0x1 | 0x2);
  for (const std::string* text : {&proxy, &bypass}) {
    put32(bytes, static_cast<uint32_t>(text->size()));
    bytes.insert(bytes.end(), text->begin(), text->end());
  }
  put32(bytes, 0);
  bytes.insert(bytes.end(), 32, 0);
  return bytes;
}

class SystemProxyTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    ASSERT_TRUE(proxy_.started());
    server_.serve("/file", body_);
    settings_.blockSize = 4096;
    settings_.threadNum = 2;
    settings_.splitThresholdMs = 0;
    settings_.httpPolicy.retryDelayMs = 0;
    settings_.httpPolicy.executeRetryCount = 0;
    const std::string address = "127.0.0.1:" + std::to_string(proxy_.port());
    const std::string list = "http=" + address + ";https=" + address;
    const std::string bypass = "127.0.0.1";
    ASSERT_TRUE(enable_.write(REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(server_value_.write(REG_SZ, wideBytes(list)));
    ASSERT_TRUE(override_.write(REG_SZ, wideBytes(bypass)));
    ASSERT_TRUE(connections_.write(REG_BINARY, connectionSettings(list, bypass)));
  }

  ZPResponse download(const std::string& url) {
    Zephyl manager(settings_);
    ZPRequest request(url);
    request.outputType = ZPRequest::OUTPUT_MEMORY;
    ZPResponse response = manager.execute(request);
    if (response.isSuccess() && response.getData() != nullptr) {
      EXPECT_TRUE(*response.getData() == body_);
    }
    return response;
  }

  std::string localhostUrl() const {
    return "http://localhost:" + std::to_string(server_.port()) + "/file";
  }

  const std::vector<uint8_t> body_ = zephyl::test::patternBytes(4 * 4096 + 10, 5);
  zephyl::test::TempDir dir_;
  zephyl::test::TestHttpServer server_;
  zephyl::test::TestProxyServer proxy_;
  ZPSetting settings_{dir_.file("root"), dir_.file("save")};
  SavedValue enable_{kSettingsKey, L"ProxyEnable"};
  SavedValue server_value_{kSettingsKey, L"ProxyServer"};
  SavedValue override_{kSettingsKey, L"ProxyOverride"};
  SavedValue connections_{kConnectionsKey, L"DefaultConnectionSettings"};
};

TEST_F(SystemProxyTest, UsersProxySettingsCarryEveryRequest) {
  ZPResponse response = download(localhostUrl());
  ASSERT_TRUE(response.isSuccess()) << response.getErrorMsg();
  EXPECT_GE(server_.requestCount(), 2U);
  EXPECT_EQ(proxy_.forwarded(), static_cast<int64_t>(server_.requestCount()));
}

TEST_F(SystemProxyTest, BypassListAndUseSystemProxyOffGoDirect) {
  ZPResponse response = download(server_.url("/file"));  // 127.0.0.1: on the bypass list
  ASSERT_TRUE(response.isSuccess()) << response.getErrorMsg();
  settings_.httpPolicy.useSystemProxy = false;
  response = download(localhostUrl());
  ASSERT_TRUE(response.isSuccess()) << response.getErrorMsg();
  EXPECT_TRUE(proxy_.targets().empty());
}

}  // namespace
