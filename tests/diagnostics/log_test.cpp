#include "diagnostics/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace zephyl {
namespace {

class LogTest : public testing::Test {
 protected:
  void TearDown() override { setLogThreshold(5); }

  // Runs body with stdout captured and returns what it printed.
  template <typename Body>
  static std::string captured(Body body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(LogTest, NothingIsPrintedAtTheInitialThreshold) {
  EXPECT_EQ(logThreshold(), 5);
  std::string output = captured([] {
    for (int level = 0; level <= 5; ++level) LogLine(level) << "line " << level;
  });
  EXPECT_EQ(output, "");
  EXPECT_FALSE(isDetailLogEnabled());
}

TEST_F(LogTest, VerbosePrintsLevelsZeroToFourButNeverFive) {
  setLogThreshold(0);
  std::string output = captured([] {
    for (int level = 0; level <= 5; ++level) LogLine(level) << "level " << level;
  });
  for (int level = 0; level <= 4; ++level) {
    EXPECT_NE(output.find("] level " + std::to_string(level) + "\n"), std::string::npos);
  }
  EXPECT_EQ(output.find("level 5"), std::string::npos);
}

TEST_F(LogTest, ThresholdFiltersLevelsAndDetailLines) {
  setLogThreshold(3);
  EXPECT_FALSE(isLogEnabled(1));
  EXPECT_TRUE(isLogEnabled(3));
  EXPECT_TRUE(isLogEnabled(4));
  EXPECT_FALSE(isDetailLogEnabled());
  setLogThreshold(2);
  EXPECT_TRUE(isDetailLogEnabled());
  EXPECT_FALSE(isLogEnabled(1));
  EXPECT_FALSE(isLogEnabled(5));
}

TEST_F(LogTest, LineHasPrefixAndEndsWithNewline) {
  setLogThreshold(1);
  std::string output = captured([] {
    LogLine(1) << "count = " << 42 << " size = " << int64_t{-7} << " big = " << uint64_t{1} << 'x';
  });
  // "[Zephyl][YYYY-MM-DD HH:MM:SS] " then the text and one newline.
  const std::string shape = "[Zephyl][dddd-dd-dd dd:dd:dd] count = 42 size = -7 big = 1x\n";
  ASSERT_EQ(output.size(), shape.size()) << output;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd') {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(output[i]))) << output;
    } else {
      EXPECT_EQ(output[i], shape[i]) << output;
    }
  }
}

TEST_F(LogTest, EmbeddedZeroBytesArePrintedWhole) {
  setLogThreshold(0);
  const std::string message("before\0after", 12);
  std::string output = captured([&message] { LogLine(1) << message; });
  EXPECT_NE(output.find(message + "\n"), std::string::npos);
}

TEST_F(LogTest, DisabledMacroStatementEvaluatesNothing) {
  setLogThreshold(3);
  int evaluated = 0;
  auto costly = [&evaluated] {
    ++evaluated;
    return std::string("costly");
  };
  std::string output = captured([&] { ZP_LOG(1) << costly(); });
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(output, "");
  output = captured([&] { ZP_LOG(3) << costly(); });
  EXPECT_EQ(evaluated, 1);
  EXPECT_NE(output.find("costly\n"), std::string::npos);
}

}  // namespace
}  // namespace zephyl
