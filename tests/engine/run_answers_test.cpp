// Answers to a download's runs judged against what a memory writer holds: the first answer sets
// the plan or takes it over, and an answer that does not fit is refused with the verdict whether
// the stored bytes are proven wrong.
#include "engine/run_answers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sinks/memory_data_writer.h"

namespace zephyl {
namespace {

constexpr int64_t kBlock = 1024;
constexpr int64_t kLength = 4 * kBlock;

class RunAnswersTest : public testing::Test {
 protected:
  // The writer holds a plan for kLength bytes stored under the validator "\"a\"".
  void resumeStored() {
    writer_.firstChunk();
    const Status set = writer_.setContentLength(kLength);
    ASSERT_TRUE(set.isOk()) << set.message();
    writer_.setValidator("\"a\"");
  }

  // The run's answer: status, the range it answered from, the stated total, the validator.
  void answer(int64_t requestedStart, int64_t total, const std::string& validator) {
    ChunkAnswer& facts = run_.state.answer;
    facts.requestedStart = requestedStart;
    facts.contentLength = total;
    facts.totalLengthKnown = total >= 0;
    facts.rangeHonoured = true;
    facts.validator = validator;
  }

  MemoryDataWriter writer_{"key", kBlock};
  PlannedRun run_;
  ZPResponse outcome_;
};

TEST_F(RunAnswersTest, FirstAnswerSetsTheLengthAndValidatorOfAFreshDownload) {
  writer_.firstChunk();
  answer(0, kLength, "\"a\"");
  EXPECT_TRUE(judgeFirstAnswer(writer_, run_, 206, &outcome_));
  EXPECT_TRUE(outcome_.isSuccess());
  EXPECT_EQ(writer_.contentLength(), kLength);
  EXPECT_EQ(writer_.validator(), "\"a\"");
  // A part of a resource whose length no answer states cannot be planned.
  PlannedRun unknown;
  unknown.beforeLength = true;
  MemoryDataWriter fresh{"other", kBlock};
  fresh.firstChunk();
  EXPECT_FALSE(judgeFirstAnswer(fresh, unknown, 206, &outcome_));
  EXPECT_TRUE(unknown.verdict.rejected);
  EXPECT_FALSE(unknown.verdict.discard);
}

TEST_F(RunAnswersTest, AnswerOfAChangedResourceProvesTheStoredBytesWrong) {
  resumeStored();
  answer(kBlock, kLength, "\"b\"");
  EXPECT_FALSE(judgeFirstAnswer(writer_, run_, 206, &outcome_));
  EXPECT_TRUE(run_.verdict.discard);
  EXPECT_EQ(outcome_.extraErrorCode, ZPResponse::CACHE_ERROR);
  PlannedRun later;
  later.state.answer = run_.state.answer;
  later.state.answer.validator = "\"a\"";
  later.state.answer.contentLength = kLength + 1;
  EXPECT_FALSE(acceptLaterAnswer(writer_, later));
  EXPECT_TRUE(later.verdict.discard);
  later.state.answer.contentLength = kLength;
  EXPECT_TRUE(acceptLaterAnswer(writer_, later));
}

TEST_F(RunAnswersTest, WholeAnswerToAResumedRangeTakesTheDownloadOver) {
  resumeStored();
  {
    MutexLock lock(run_.runMutex);
    run_.writerChunkId = 2;
    run_.lastChunkId = 3;
  }
  answer(2 * kBlock, 2 * kLength, "\"b\"");
  EXPECT_TRUE(judgeFirstAnswer(writer_, run_, 200, &outcome_));
  EXPECT_EQ(writer_.contentLength(), 2 * kLength);
  EXPECT_EQ(writer_.validator(), "\"b\"");
  EXPECT_EQ(run_.writerChunkId.load(), 0);
  EXPECT_EQ(run_.lastChunk(), 0);
  EXPECT_EQ(writer_.chunkAt(0).end, 2 * kLength);  // one chunk covers the whole resource
}

}  // namespace
}  // namespace zephyl
