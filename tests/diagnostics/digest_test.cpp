#include "diagnostics/digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

namespace zephyl {
namespace {

// The platform's digests (libcrypto, or CNG under Windows) against published answers, whole and
// fed in uneven pieces.
TEST(DigestTest, MatchesKnownAnswersWholeAndInPieces) {
  const struct {
    DigestAlgorithm algorithm;
    std::string input;
    const char* digest;
  } cases[] = {
      {DigestAlgorithm::Sha256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestAlgorithm::Sha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestAlgorithm::Sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {DigestAlgorithm::Sha256, std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {DigestAlgorithm::Md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DigestAlgorithm::Md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
  };
  for (const auto& known : cases) {
    const std::string& input = known.input;
    const std::string name = digestName(known.algorithm) + (" of " + input.substr(0, 20));
    EXPECT_EQ(digestHexOf(known.algorithm, input.data(), input.size()), known.digest) << name;
    DigestStream stream(known.algorithm);
    for (size_t offset = 0, step = 1; offset < input.size(); offset += step, step = step * 3 + 1) {
      ASSERT_TRUE(stream.update(input.data() + offset, std::min(step, input.size() - offset)));
    }
    EXPECT_EQ(stream.finishHex(), known.digest) << name << " in pieces";
    EXPECT_EQ(stream.finishHex(), "") << "a finished stream gives no second digest";
  }
}

TEST(DigestTest, ChecksumFormsAreReadOrRefused) {
  const std::string sha = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  ExpectedDigest expected;
  for (const std::string& form : {"sha256:" + sha, "SHA-256:" + sha, "Sha256:" + sha}) {
    ASSERT_TRUE(parseChecksum(form, &expected)) << form;
    EXPECT_EQ(expected.algorithm, DigestAlgorithm::Sha256);
    EXPECT_EQ(expected.hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
  ASSERT_TRUE(parseChecksum("MD5:900150983CD24FB0D6963F7D28E17F72", &expected));
  EXPECT_EQ(expected.algorithm, DigestAlgorithm::Md5);
  EXPECT_EQ(expected.hex, "900150983cd24fb0d6963f7d28e17f72");
  for (const std::string& bad :
       {std::string(), std::string("sha256"), "sha256:" + sha.substr(1), "md5:" + sha, "sha1:" + sha,
        "sha256:" + sha.substr(1) + "g", " sha256:" + sha, "sha256=" + sha}) {
    ExpectedDigest untouched = expected;
    EXPECT_FALSE(parseChecksum(bad, &untouched)) << bad;
    EXPECT_EQ(untouched.hex, expected.hex);
  }
}

TEST(DigestTest, RequestChecksumIsReadOnceOrRefusedWithItsText) {
  std::optional<ExpectedDigest> check = ExpectedDigest{};
  EXPECT_EQ(readChecksum("", &check), "");
  EXPECT_FALSE(check.has_value());
  EXPECT_EQ(readChecksum("MD5:900150983CD24FB0D6963F7D28E17F72", &check), "");
  ASSERT_TRUE(check.has_value());
  EXPECT_EQ(check->hex, "900150983cd24fb0d6963f7d28e17f72");
  const std::string bad = "md5:" + std::string(100, 'z');
  EXPECT_EQ(readChecksum(bad, &check), "illegal checksum: " + bad.substr(0, 80) +
                                           " (expected sha256:<64 hex digits> or md5:<32 hex "
                                           "digits>)");
  EXPECT_EQ(check->algorithm, DigestAlgorithm::Md5);  // untouched by a refusal
}

}  // namespace
}  // namespace zephyl
