// Whole downloads through Zephyl with every path outside the code page: a Cyrillic and CJK
// storage root, a CJK save directory and a savePath with an emoji (a surrogate pair in UTF-16).
// The files must reach the disk under their UTF-16 names, and an interrupted download must
// resume from the cache below that root.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "storage/fs.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wide_files_windows.h"
#include "zephyl/zephyl.h"

namespace zephyl {
namespace {

using test::readBytes;

const char kRoot[] = "\xd0\xba\xd1\x8d\xd1\x88/\xe6\xa0\xb9";  // "кэш/根"
const wchar_t kWideRoot[] = L"\x043a\x044d\x0448\\\x6839";
const char kSaveDir[] = "\xe4\xb8\x8b\xe8\xbd\xbd";  // "下载"
const wchar_t kWideSaveDir[] = L"\x4e0b\x8f7d";
// "📦 архив.bin"
const char kSaveName[] = "\xf0\x9f\x93\xa6 \xd0\xb0\xd1\x80\xd1\x85\xd0\xb8\xd0\xb2.bin";
const wchar_t kWideSaveName[] = L"\xd83d\xdce6 \x0430\x0440\x0445\x0438\x0432.bin";

constexpr int64_t kBlock = 64 * 1024;

using test::existsWide;

class UnicodePathsTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(server_.started());
    settings_.rootDir = dir_.file(kRoot);
    settings_.saveDirPath = dir_.file(kSaveDir);
    settings_.blockSize = kBlock;
    settings_.httpPolicy.retryDelayMs = 0;
  }
  std::wstring wide(const wchar_t* relative) const {
    return utf8ToUtf16(dir_.path()) + L"\\" + relative;
  }

  test::TempDir dir_;
  test::TestHttpServer server_;
  ZPSetting settings_{std::string(), std::string()};
};

TEST_P(UnicodePathsTest, DeliveredUnderUtf16NamesIntoTheSaveDirectoryAndToSavePath) {
  const std::vector<uint8_t> body = test::patternBytes(5 * kBlock + 17, 3);
  server_.serve("/f.bin", body);
  Zephyl manager(settings_);

  ZPRequest toSaveDir(server_.url("/f.bin"));
  toSaveDir.outputType = GetParam();
  const ZPResponse first = manager.execute(toSaveDir);
  ASSERT_TRUE(first.isSuccess()) << first.logString();
  EXPECT_EQ(fs::parentDirOf(first.getFile()), settings_.saveDirPath);
  const std::string key = fileKeyFromUrl(server_.url("/f.bin"));
  EXPECT_TRUE(existsWide(wide(kWideSaveDir) + L"\\" + utf8ToUtf16(key)));
  EXPECT_TRUE(readBytes(first.getFile()) == body);

  ZPRequest toSavePath(server_.url("/f.bin"));
  toSavePath.outputType = GetParam();
  toSavePath.savePath = dir_.file(std::string(kSaveDir) + "/" + kSaveName);
  const ZPResponse second = manager.execute(toSavePath);
  ASSERT_TRUE(second.isSuccess()) << second.logString();
  EXPECT_EQ(second.getFile(), toSavePath.savePath);
  EXPECT_TRUE(existsWide(wide(kWideSaveDir) + L"\\" + kWideSaveName));
  unsigned char digest[kMd5DigestLength];
  ASSERT_TRUE(md5Of(body.data(), body.size(), digest));
  EXPECT_EQ(second.getMd5Etag(), md5Hex(digest));
  // The storage directories are below the root's UTF-16 name, and nothing waits there.
  EXPECT_TRUE(existsWide(wide(kWideRoot) + L"\\temp"));
  std::vector<std::string> cached;
  ASSERT_TRUE(fs::listFiles(settings_.rootDir + "/lruCache", &cached).isOk());
  EXPECT_TRUE(cached.empty()) << cached.front();
}

INSTANTIATE_TEST_SUITE_P(Sinks, UnicodePathsTest,
                         testing::Values(ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(info.param == ZPRequest::OUTPUT_FILE ? "File"
                                                                                   : "ChunkFile");
                         });

// Every answer broken off after one block: the download fails with part of it stored, waits in
// the cache below the root, and the next execute asks only for what is missing.
TEST_F(UnicodePathsTest, InterruptedDownloadResumesFromTheCacheBelowTheRoot) {
  const std::vector<uint8_t> body = test::patternBytes(6 * kBlock, 4);
  test::Misbehaviour cut;
  cut.cutFirst = 1000;
  cut.cutAfterBytes = kBlock;
  cut.etag = "\"v1\"";  // stored bytes without a validator are never continued
  server_.serve("/r.bin", body, cut);
  settings_.threadNum = 1;
  settings_.httpPolicy.executeRetryCount = 0;
  settings_.httpPolicy.netErrorRetryCount = 0;
  ZPRequest request(server_.url("/r.bin"));
  {
    Zephyl manager(settings_);
    ASSERT_FALSE(manager.execute(request).isSuccess());
  }
  test::Misbehaviour versioned;
  versioned.etag = cut.etag;
  server_.serve("/r.bin", body, versioned);
  EXPECT_TRUE(existsWide(wide(kWideRoot) + L"\\lruCache\\" +
                         utf8ToUtf16(fileKeyFromUrl(request.getUrl()))));
  server_.clearRequests();
  Zephyl manager(settings_);
  const ZPResponse response = manager.execute(request);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_TRUE(readBytes(response.getFile()) == body);
  const std::vector<test::SeenRequest> seen = server_.requests();
  ASSERT_FALSE(seen.empty());
  ASSERT_EQ(seen.front().range.rfind("bytes=", 0), 0u) << seen.front().range;
  EXPECT_GT(std::stoll(seen.front().range.substr(6)), 0) << "the stored bytes were fetched again";
}

}  // namespace
}  // namespace zephyl
