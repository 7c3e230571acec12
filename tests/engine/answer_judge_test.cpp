#include "engine/answer_judge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zephyl {
namespace {

// One answer to a request with the default policy flags (the range must be honoured), and how it
// must be judged.
struct AnswerCase {
  const char* name;
  int32_t status;
  const char* requestedRange;
  std::optional<std::string> contentRange;
  int64_t bodyLength;
  bool acceptWholeAnswer;
  // Expected.
  bool refused;
  bool rangeHonoured;
  int64_t contentLength;
  bool totalLengthKnown;
  int64_t contentRangeStart;
  int64_t contentRangeTotal;
  bool contentRangeTotalUnknown;
};

void PrintTo(const AnswerCase& answer, std::ostream* out) { *out << answer.name; }

const std::optional<std::string> kNone;

// clang-format off
const AnswerCase kAnswers[] = {
  // name                         status range      Content-Range              body  whole  refused honoured length known start total unknown
  {"PartFitting",                   206, "100-199", "bytes 100-199/5000",       100, false, false, true,   5000, true,  100, 5000, false},
  {"PartShifted",                   206, "100-199", "bytes 90-189/5000",        100, false, true,  false,  5000, true,   90, 5000, false},
  {"PartShiftedWholeAllowed",       206, "100-199", "bytes 90-189/5000",        100, true,  true,  false,  5000, true,   90, 5000, false},
  {"PartOvershooting",              206, "100-199", "bytes 100-4999/5000",     4900, false, false, true,   5000, true,  100, 5000, false},
  {"PartUnitInCapitals",            206, "100-199", "BYTES 100-199/5000",       100, false, false, true,   5000, true,  100, 5000, false},
  {"PartOfUnknownTotal",            206, "100-199", "bytes 100-199/*",          100, false, false, true,    100, false, 100,   -1, true},
  {"PartOfUnknownTotalUnframed",    206, "100-",    "bytes 100-199/*",           -1, false, false, true,     -1, false, 100,   -1, true},
  {"PartWithGarbageRange",          206, "100-199", "garbage",                  100, false, true,  false,   100, false,  -1,   -1, true},
  {"PartWithoutContentRange",       206, "100-199", kNone,                      100, false, true,  false,   100, false,  -1,   -1, false},
  {"PartReachingPastItsTotal",      206, "100-199", "bytes 100-5000/5000",      100, false, true,  false,  5000, true,  100, 5000, false},
  {"PartAsAskedPastItsTotal",       206, "0-1048575", "bytes 0-1048575/5000",  5000, false, false, true,   5000, true,    0, 5000, false},
  {"PartStartingPastItsTotal",      206, "100-199", "bytes 5000-5099/5000",     100, false, true,  false,   100, false,  -1,   -1, true},
  {"PartLongerThanItsRange",        206, "100-199", "bytes 100-199/5000",       200, false, true,  false,  5000, true,  100, 5000, false},
  {"PartShorterThanItsRange",       206, "100-199", "bytes 100-199/5000",        50, false, true,  false,  5000, true,  100, 5000, false},
  {"PartToUnreadableRange",         206, "abc",     "bytes 0-99/100",           100, false, true,  false,   100, true,    0,  100, false},
  {"PartToNoRange",                 206, "",        "bytes 0-99/100",           100, false, false, true,    100, true,    0,  100, false},
  {"WholeToRangeFromZero",          200, "0-99",    kNone,                     5000, false, false, true,   5000, true,   -1,   -1, false},
  {"WholeToNoRangeUnframed",        200, "",        kNone,                       -1, false, false, true,     -1, false,  -1,   -1, false},
  {"WholeIgnoresItsContentRange",   200, "0-99",    "bytes 0-99/100",          5000, false, false, true,   5000, true,   -1,   -1, false},
  {"WholeToLaterRange",             200, "100-199", kNone,                     5000, false, true,  false,  5000, true,   -1,   -1, false},
  {"WholeToLaterRangeAllowed",      200, "100-199", kNone,                     5000, true,  false, false,  5000, true,   -1,   -1, false},
  {"UnsatisfiableEmptyResource",    416, "0-",      "bytes */0",                  0, false, false, false,     0, false,  -1,    0, false},
  {"UnsatisfiableUnknownTotal",     416, "0-",      "bytes */*",                  0, false, false, false,     0, false,  -1,   -1, true},
  {"UnsatisfiableWithoutHeader",    416, "0-",      kNone,                        0, false, false, false,     0, false,  -1,   -1, false},
  {"ErrorPageWithContentRange",     404, "0-99",    "bytes 0-99/100",            50, false, false, false,     0, false,  -1,   -1, false},
  {"NoStatusAtAll",                   0, "0-99",    kNone,                       -1, true,  false, false,     0, false,  -1,   -1, false},
};
// clang-format on

class AnswerJudgeTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerJudgeTest, JudgesTheAnswer) {
  const AnswerCase& answer = GetParam();
  AnswerFacts facts;
  facts.status = answer.status;
  facts.requestedRange = answer.requestedRange;
  facts.contentRange = answer.contentRange;
  facts.bodyLength = answer.bodyLength;
  facts.acceptWholeAnswer = answer.acceptWholeAnswer;
  const AnswerVerdict verdict = judgeAnswer(facts);

  EXPECT_EQ(verdict.carriesData, answer.status == 200 || answer.status == 206);
  EXPECT_EQ(verdict.refused, answer.refused);
  EXPECT_EQ(verdict.rangeHonoured, answer.rangeHonoured);
  EXPECT_EQ(verdict.contentLength, answer.contentLength);
  EXPECT_EQ(verdict.totalLengthKnown, answer.totalLengthKnown);
  EXPECT_EQ(verdict.contentRangeStart, answer.contentRangeStart);
  EXPECT_EQ(verdict.hasContentRange, answer.contentRangeStart >= 0);
  EXPECT_EQ(verdict.contentRangeTotal, answer.contentRangeTotal);
  EXPECT_EQ(verdict.contentRangeTotalUnknown, answer.contentRangeTotalUnknown);
}

INSTANTIATE_TEST_SUITE_P(Answers, AnswerJudgeTest, testing::ValuesIn(kAnswers),
                         [](const testing::TestParamInfo<AnswerCase>& info) {
                           return std::string(info.param.name);
                         });

// A caller that checks the fit itself gets a shifted part with the facts that show it.
TEST(AnswerJudgeRequestTest, ShiftedPartPassesWhenTheCallerJudgesTheFit) {
  AnswerFacts facts;
  facts.status = 206;
  facts.requestedRange = "100-199";
  facts.contentRange = "bytes 90-189/5000";
  facts.bodyLength = 100;
  facts.requireRangeHonoured = false;
  const AnswerVerdict verdict = judgeAnswer(facts);
  EXPECT_FALSE(verdict.refused);
  EXPECT_FALSE(verdict.rangeHonoured);
  EXPECT_EQ(verdict.contentRangeStart, 90);
}

TEST(AnswerJudgeRequestTest, RequestedBytesComeFromTheRangeText) {
  struct Requested {
    const char* range;
    int64_t start;
    int64_t end;
  };
  for (const Requested& requested :
       {Requested{"", 0, -1}, Requested{"100-199", 100, 199}, Requested{"4096-", 4096, -1},
        Requested{"9-3", -1, -1}, Requested{"bytes=0-1", -1, -1}}) {
    AnswerFacts facts;
    facts.status = 503;  // asked bytes are known whatever the answer
    facts.requestedRange = requested.range;
    const AnswerVerdict verdict = judgeAnswer(facts);
    EXPECT_EQ(verdict.requestedStart, requested.start) << requested.range;
    EXPECT_EQ(verdict.requestedEnd, requested.end) << requested.range;
  }
}

// The validator the stored bytes are kept with: a strong ETag, else Last-Modified, else none;
// an error page has none, whatever it carries.
TEST(AnswerJudgeValidatorTest, StrongEtagElseLastModified) {
  struct Validators {
    int32_t status;
    const char* etag;
    const char* lastModified;
    const char* expected;
  };
  const char* date = "Wed, 21 Oct 2015 07:28:00 GMT";
  for (const Validators& answer : {
           Validators{206, "\"v1\"", date, "\"v1\""},
           Validators{200, "\"v1\"", "", "\"v1\""},
           Validators{206, "W/\"v1\"", date, date},
           Validators{206, "W/\"v1\"", "", ""},
           Validators{206, "v1", date, date},  // unquoted: not a strong tag
           Validators{200, "", date, date},
           Validators{206, "", "", ""},
           Validators{404, "\"v1\"", date, ""},
           Validators{416, "\"v1\"", date, ""},
       }) {
    AnswerFacts facts;
    facts.status = answer.status;
    facts.requestedRange = "0-99";
    facts.contentRange = "bytes 0-99/100";
    facts.etag = answer.etag;
    facts.lastModified = answer.lastModified;
    EXPECT_EQ(judgeAnswer(facts).validator, answer.expected)
        << answer.status << " " << answer.etag << " / " << answer.lastModified;
  }
}

// Hostile texts and extreme numbers are judged like any other answer: the verdict stays
// consistent and nothing that is not data is ever handed on.
TEST(AnswerJudgeHostileInputTest, VerdictStaysConsistentForOddAnswers) {
  const std::vector<std::string> ranges = {
      "", "0-", "0-0", "9223372036854775807-", "0-9223372036854775807", "-1-5", "5", "\xff-\xff",
  };
  const std::vector<std::optional<std::string>> contentRanges = {
      std::nullopt,
      "",
      "bytes",
      "bytes ",
      "bytes -/",
      "bytes 0-9223372036854775807/*",
      "bytes 9223372036854775807-9223372036854775807/*",
      "bytes 0-9223372036854775806/9223372036854775807",
      "bytes 0-99/99999999999999999999",
      "bytes 0-99/-100",
      "bytes 18446744073709551615-0/1",
      std::string("bytes 0-9\0/10", 13),
      "bytes\t0-9/10",
      "*/*",
      "bytes */",
      "bytes 0-99/100/200",
  };
  const std::vector<int64_t> bodyLengths = {-5, -1, 0, 1, 100, INT64_MAX};
  for (const int32_t status : {-1, 0, 200, 206, 416, 999}) {
    for (const std::string& range : ranges) {
      for (const auto& contentRange : contentRanges) {
        for (const int64_t bodyLength : bodyLengths) {
          AnswerFacts facts;
          facts.status = status;
          facts.requestedRange = range;
          facts.contentRange = contentRange;
          facts.bodyLength = bodyLength;
          facts.etag = "\"e\"";
          const AnswerVerdict verdict = judgeAnswer(facts);
          const std::string where = std::to_string(status) + " [" + range + "] [" +
                                    contentRange.value_or("(none)") + "] " +
                                    std::to_string(bodyLength);
          if (!verdict.carriesData) {
            ASSERT_FALSE(verdict.refused) << where;
            ASSERT_FALSE(verdict.rangeHonoured) << where;
            ASSERT_EQ(verdict.contentLength, 0) << where;
            ASSERT_TRUE(verdict.validator.empty()) << where;
          }
          ASSERT_FALSE(verdict.rangeHonoured && verdict.refused) << where;
          ASSERT_GE(verdict.contentLength, -1) << where;
          if (verdict.totalLengthKnown) {
            ASSERT_GE(verdict.contentLength, 0) << where;
          }
          if (verdict.hasContentRange) {
            ASSERT_LE(verdict.contentRangeStart, verdict.contentRangeEnd) << where;
            if (verdict.contentRangeTotal >= 0) {
              ASSERT_LT(verdict.contentRangeEnd, verdict.contentRangeTotal) << where;
            }
          }
          if (verdict.rangeHonoured && status == 206) {
            ASSERT_EQ(verdict.contentRangeStart, verdict.requestedStart) << where;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace zephyl
