#include "diagnostics/utilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>

#include "diagnostics/md5_calls.h"

namespace zephyl {
namespace {

TEST(UtilitiesTest, FileKeyIsLowercaseMd5OfTheExactUrl) {
  EXPECT_EQ(fileKeyFromUrl(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(fileKeyFromUrl("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_NE(fileKeyFromUrl("http://127.0.0.1/a"), fileKeyFromUrl("http://127.0.0.1/a/"));
  EXPECT_NE(fileKeyFromUrl("http://127.0.0.1/A"), fileKeyFromUrl("http://127.0.0.1/a"));
  for (const char* url : {"http://127.0.0.1:8080/x?y=1", "\xff\xfe", "https://h/%20"}) {
    const std::string key = fileKeyFromUrl(url);
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << url;
  }
}

TEST(UtilitiesTest, Md5HexPadsEveryByteToTwoDigits) {
  unsigned char digest[kMd5DigestLength] = {10, 0, 255, 1};
  EXPECT_EQ(md5Hex(digest), "0a00ff01000000000000000000000000");
}

// The platform's MD5 (libcrypto, or CNG on Windows) against RFC 1321's test suite, fed in
// uneven pieces through the stream and whole through the one-shot call.
TEST(UtilitiesTest, Md5MatchesKnownAnswers) {
  const struct {
    const char* input;
    const char* digest;
  } cases[] = {
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& known : cases) {
    const std::string input = known.input;
    unsigned char digest[kMd5DigestLength];
    ASSERT_TRUE(md5Of(input.data(), input.size(), digest));
    EXPECT_EQ(md5Hex(digest), known.digest) << input;
    Md5Stream stream;
    for (size_t offset = 0, step = 1; offset < input.size(); offset += step, step += 2) {
      ASSERT_TRUE(stream.update(input.data() + offset, std::min(step, input.size() - offset)));
    }
    ASSERT_TRUE(stream.finish(digest));
    EXPECT_EQ(md5Hex(digest), known.digest) << input << " in pieces";
  }
}

TEST(UtilitiesTest, StreamingDigestEqualsOneShot) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  unsigned char oneShot[kMd5DigestLength];
  ASSERT_TRUE(md5Of(data.data(), data.size(), oneShot));
  Md5Stream stream;
  for (size_t offset = 0; offset < data.size(); offset += 777) {
    ASSERT_TRUE(stream.update(data.data() + offset, std::min<size_t>(777, data.size() - offset)));
  }
  unsigned char streamed[kMd5DigestLength];
  ASSERT_TRUE(stream.finish(streamed));
  EXPECT_EQ(md5Hex(streamed), md5Hex(oneShot));
  EXPECT_FALSE(stream.finish(streamed)) << "a finished stream gave a second digest";
}

// The platform refusing one step of the digest, as CNG does when its provider is missing.
// A refused begin still hands over a real state, which must be released; a refused final step
// scribbles over its output first, so that a digest taken from it would be visible.
bool refuseBegin(Md5State** state) {
  platformMd5Begin(state);
  return false;
}
bool refuseUpdate(Md5State*, const void*, size_t) { return false; }
bool refuseFinish(Md5State*, unsigned char* digest) {
  std::memset(digest, 0x5a, kMd5DigestLength);
  return false;
}

struct RefusedStep {
  const char* name;
  Md5Calls calls;
};

void PrintTo(const RefusedStep& step, std::ostream* out) { *out << step.name; }

class Md5FailureTest : public testing::TestWithParam<RefusedStep> {};

TEST_P(Md5FailureTest, FailureIsReportedAndNoDigestIsUsed) {
  const Md5Calls& calls = GetParam().calls;
  const std::string data = "http://127.0.0.1/file.bin";
  unsigned char digest[kMd5DigestLength];
  std::memset(digest, 0xee, sizeof digest);
  const std::string untouched = md5Hex(digest);

  EXPECT_FALSE(md5Of(data.data(), data.size(), digest, calls));
  EXPECT_EQ(md5Hex(digest), untouched);
  EXPECT_EQ(fileKeyFromUrl(data, calls), "");

  Md5Stream stream(calls);
  stream.update(data.data(), data.size());
  stream.update(data.data(), data.size());
  EXPECT_FALSE(stream.finish(digest));
  EXPECT_EQ(md5Hex(digest), untouched);
}

Md5Calls refusing(int step) {
  Md5Calls calls;
  if (step == 0) calls.begin = refuseBegin;
  if (step == 1) calls.update = refuseUpdate;
  if (step == 2) calls.finish = refuseFinish;
  return calls;
}

INSTANTIATE_TEST_SUITE_P(Steps, Md5FailureTest,
                         testing::Values(RefusedStep{"Init", refusing(0)},
                                         RefusedStep{"Update", refusing(1)},
                                         RefusedStep{"Final", refusing(2)}),
                         [](const testing::TestParamInfo<RefusedStep>& info) {
                           return std::string(info.param.name);
                         });

TEST(UtilitiesTest, NowMsIsWallClockMilliseconds) {
  const int64_t before = nowMs();
  EXPECT_GT(before, int64_t{1600000000000});  // after 2020
  EXPECT_LT(before, int64_t{4102444800000});  // before 2100
  EXPECT_GE(nowMs(), before);
}

TEST(UtilitiesTest, Utf8ToUtf16ConvertsPairsZerosAndInvalidBytes) {
  EXPECT_EQ(utf8ToUtf16(""), L"");
  EXPECT_EQ(utf8ToUtf16("a/b"), L"a/b");
  EXPECT_EQ(utf8ToUtf16("\xc3\xa9"), std::wstring(1, wchar_t{0xE9}));
  EXPECT_EQ(utf8ToUtf16("\xe4\xb8\xad"), std::wstring(1, wchar_t{0x4E2D}));
  // U+1F600 needs a surrogate pair.
  EXPECT_EQ(utf8ToUtf16("\xf0\x9f\x98\x80"), (std::wstring{wchar_t{0xD83D}, wchar_t{0xDE00}}));
  EXPECT_EQ(utf8ToUtf16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  // A stray continuation byte, a truncated sequence and an overlong encoding.
  EXPECT_EQ(utf8ToUtf16("\x80z"), (std::wstring{wchar_t{0xFFFD}, L'z'}));
  EXPECT_EQ(utf8ToUtf16("\xe4\xb8"), std::wstring(1, wchar_t{0xFFFD}));
  EXPECT_EQ(utf8ToUtf16("\xc0\xaf"), (std::wstring{wchar_t{0xFFFD}, wchar_t{0xFFFD}}));
}

}  // namespace
}  // namespace zephyl
