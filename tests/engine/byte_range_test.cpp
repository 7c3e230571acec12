#include "engine/byte_range.h"

#include <gtest/gtest.h>

namespace zephyl {
namespace {

TEST(ByteRangeTest, RangeValueGivesFirstAndLastByte) {
  int64_t first = 0;
  int64_t last = 0;
  ASSERT_TRUE(parseRangeValue("100-199", &first, &last));
  EXPECT_EQ(first, 100);
  EXPECT_EQ(last, 199);
  ASSERT_TRUE(parseRangeValue("4194304-", &first, &last));
  EXPECT_EQ(first, 4194304);
  EXPECT_EQ(last, -1);
}

TEST(ByteRangeTest, MalformedRangeValuesAreRejected) {
  int64_t first = 7;
  int64_t last = 7;
  for (const char* text :
       {"", "-5", "abc", "9-3", "1-2-3", "+1-2", "1x-2", "99999999999999999999-"}) {
    EXPECT_FALSE(parseRangeValue(text, &first, &last)) << text;
  }
  EXPECT_EQ(first, 7);  // untouched on failure
  EXPECT_EQ(last, 7);
}

TEST(ByteRangeTest, ContentRangeGivesRangeAndTotalWhateverTheUnitsCase) {
  for (const char* text : {"bytes 100-199/5000", "Bytes 100-199/5000", "BYTES 100-199/5000"}) {
    const ContentRange range = parseContentRange(text);
    EXPECT_TRUE(range.hasRange) << text;
    EXPECT_EQ(range.first, 100) << text;
    EXPECT_EQ(range.last, 199) << text;
    EXPECT_TRUE(range.hasTotal) << text;
    EXPECT_EQ(range.total, 5000) << text;
    EXPECT_FALSE(range.totalUnknown) << text;
  }
}

TEST(ByteRangeTest, StarOrGarbageTotalIsUnknownButKeepsTheRange) {
  for (const char* text : {"bytes 0-99/*", "bytes 0-99/12x", "bytes 0-99/-5",
                           "bytes 0-99/99999999999999999999", "bytes 0-99/"}) {
    const ContentRange range = parseContentRange(text);
    EXPECT_TRUE(range.hasRange) << text;
    EXPECT_EQ(range.first, 0) << text;
    EXPECT_EQ(range.last, 99) << text;
    EXPECT_FALSE(range.hasTotal) << text;
    EXPECT_EQ(range.total, -1) << text;
    EXPECT_TRUE(range.totalUnknown) << text;
  }
}

TEST(ByteRangeTest, UnreadableRangeStillGivesAStatedTotal) {
  const ContentRange unsatisfied = parseContentRange("bytes */5000");
  EXPECT_FALSE(unsatisfied.hasRange);
  EXPECT_TRUE(unsatisfied.hasTotal);
  EXPECT_EQ(unsatisfied.total, 5000);
  for (const char* text : {"", "garbage", "items 0-9/10", "bytes 9-3/10", "bytes0-9/10"}) {
    EXPECT_FALSE(parseContentRange(text).hasRange) << text;
  }
}

// A range that starts at or past its total contradicts itself, and neither of its parts can be
// believed; one that only ends past it (the range as asked, repeated) ends at the total.
TEST(ByteRangeTest, RangeStartingPastItsOwnTotalIsUnreadable) {
  for (const char* text : {"bytes 0-99/100", "bytes 0-100/100", "bytes 0-1048575/100"}) {
    const ContentRange range = parseContentRange(text);
    EXPECT_TRUE(range.hasRange) << text;
    EXPECT_EQ(range.last, 99) << text;
    EXPECT_EQ(range.total, 100) << text;
  }
  for (const char* text : {"bytes 100-100/100", "bytes 50-60/10", "bytes 0-0/0"}) {
    const ContentRange range = parseContentRange(text);
    EXPECT_FALSE(range.hasRange) << text;
    EXPECT_FALSE(range.hasTotal) << text;
    EXPECT_EQ(range.first, -1) << text;
    EXPECT_EQ(range.total, -1) << text;
  }
}

}  // namespace
}  // namespace zephyl
