// A C++ host that owns the library's log, and the checks a host makes of the library it loaded:
// only the public headers, linked against the shared library.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zephyl/zephyl.h"
#include "zephyl/zephyl_c.h"

namespace {

// Storage roots of this process that nothing is ever stored in: every request below is refused
// before it opens a file.
std::string unusedRoot(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("zephyl-public-" + name)).generic_string();
}

ZPSetting settingWithCount(const std::string& root, int32_t maxCount) {
  ZPSetting setting(root, root + "/save");
  setting.cachePolicy.maxCount = maxCount;
  return setting;
}

class LogCallbackHostTest : public testing::Test {
 protected:
  void TearDown() override {
    Zephyl::setLogCallback(nullptr);
    Zephyl::setLogLevel(None);
  }

  std::vector<std::string> linesAt(ZPLogLevel level) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const auto& line : lines_) {
      if (line.first == level) found.push_back(line.second);
    }
    return found;
  }

  std::mutex mutex_;
  std::vector<std::pair<ZPLogLevel, std::string>> lines_;  // guarded by mutex_
};

TEST_F(LogCallbackHostTest, EveryLineGoesToTheCallbackAndNoneToStandardOutput) {
  Zephyl::setLogCallback([this](ZPLogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(level, line);
  });
  Zephyl::setLogLevel(Verbose);
  testing::internal::CaptureStdout();
  {
    Zephyl manager(settingWithCount(unusedRoot("log"), 100));
    EXPECT_EQ(manager.execute(ZPRequest("")).errorCode, ZP_ILLEGAL_URL);
    Zephyl conflicting(settingWithCount(unusedRoot("log"), 5));
    ZPResponse().getMd5Etag();  // a file that cannot be opened
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const std::vector<std::string> debug = linesAt(Debug);
  EXPECT_NE(std::find(debug.begin(), debug.end(), "Zephyl execute url is empty"), debug.end());
  const std::vector<std::string> errors = linesAt(Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("other cache limits"), std::string::npos) << errors[0];
  for (const ZPLogLevel level : {Verbose, Debug, Info, Warn, Error}) {
    for (const std::string& line : linesAt(level)) {
      EXPECT_EQ(line.find('\n'), std::string::npos) << line;
      EXPECT_NE(line.rfind("[Zephyl]", 0), 0u) << "prefixed: " << line;
    }
  }
}

// Two managers on one storage root share its cache limits: a second one with other limits fails
// every request with a reason, until the first is gone.
TEST(StorageRootHostTest, ManagerWithOtherCacheLimitsIsRefusedWhileTheFirstLives) {
  const std::string root = unusedRoot("limits");
  auto first = std::make_unique<Zephyl>(settingWithCount(root, 100));
  EXPECT_EQ(first->getSetupError(), "");
  {
    Zephyl sameLimits(settingWithCount(root + "/", 100));
    EXPECT_EQ(sameLimits.getSetupError(), "");
    Zephyl otherLimits(settingWithCount(root, 5));
    EXPECT_NE(otherLimits.getSetupError().find("other cache limits"), std::string::npos);
    const ZPResponse refused = otherLimits.execute(ZPRequest("http://127.0.0.1/x"));
    // The C names of the codes: compared by reference, the C++ constants would be data imported
    // from the DLL on Windows.
    EXPECT_EQ(refused.resultCode, ZP_RESULT_FAILED);
    EXPECT_EQ(refused.errorCode, ZP_CACHE_ERROR);
    EXPECT_EQ(refused.errorMsg, otherLimits.getSetupError());

    zp_setting* setting = nullptr;
    ASSERT_EQ(zp_setting_create(root.c_str(), "save", &setting), ZP_OK);
    ASSERT_EQ(zp_setting_set_int(setting, ZP_SETTING_CACHE_MAX_COUNT, 5), ZP_OK);
    zp_manager* manager = nullptr;
    EXPECT_EQ(zp_manager_create(setting, &manager), ZP_ERROR_STORAGE_CONFLICT);
    EXPECT_EQ(manager, nullptr);
    zp_setting_free(setting);
  }
  first.reset();
  Zephyl later(settingWithCount(root, 5));
  EXPECT_EQ(later.getSetupError(), "");
}

TEST(VersionHostTest, HeaderVersionIsTheLoadedLibrarysAndStatusCodesAreTheirOwn) {
  EXPECT_STREQ(zp_version(), ZEPHYL_VERSION_STRING);
  EXPECT_EQ(std::to_string(ZEPHYL_VERSION_MAJOR) + "." + std::to_string(ZEPHYL_VERSION_MINOR) +
                "." + std::to_string(ZEPHYL_VERSION_PATCH),
            ZEPHYL_VERSION_STRING);
  const int statuses[] = {ZP_ERROR_NULL_ARGUMENT,    ZP_ERROR_INVALID_ARGUMENT,
                          ZP_ERROR_OUT_OF_MEMORY,    ZP_ERROR_NOT_FOUND,
                          ZP_ERROR_WRONG_THREAD,     ZP_ERROR_INTERNAL,
                          ZP_ERROR_BUFFER_TOO_SMALL, ZP_ERROR_STORAGE_CONFLICT};
  const int outcomes[] = {
      ZP_RESULT_SUCCESS,    ZP_RESULT_FAILED,           ZP_RESULT_CANCELLED,
      ZP_EXECUTE_ERROR,     ZP_BLOCK_HTTP_SERVER_ERROR, ZP_BLOCK_HTTP_NETWORK_ERROR,
      ZP_DATA_WRITE_ERROR,  ZP_CANCELLED_ERROR,         ZP_ILLEGAL_URL,
      ZP_CACHE_ERROR,       ZP_ILLEGAL_HEADER,          ZP_ILLEGAL_PROXY,
      ZP_CHECKSUM_MISMATCH, ZP_ILLEGAL_CHECKSUM,        ZP_STREAM_ERROR,
      ZP_STREAM_STOPPED};
  for (const int status : statuses) {
    EXPECT_STRNE(zp_status_text(status), "unknown status") << status;
    for (const int outcome : outcomes) EXPECT_NE(status, outcome);
  }
}

}  // namespace
