#include "diagnostics/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/annotated_mutex.h"

namespace zephyl {
namespace {

class LogTest : public testing::Test {
 protected:
  void TearDown() override {
    setLogCallback(nullptr);
    setLogThreshold(5);
  }

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

// --- the host's log callback ---

// What a callback received, in order; touched by the logging threads one at a time.
struct Received {
  std::vector<std::pair<ZPLogLevel, std::string>> lines;
  bool lockWasFree = true;  // whether the callback could take the test's mutex each time
};

TEST_F(LogTest, CallbackTakesWholeLinesAndStdoutGetsNothingUntilItIsCleared) {
  setLogThreshold(0);
  Received received;
  setLogCallback([&received](ZPLogLevel level, const std::string& line) {
    received.lines.emplace_back(level, line);
  });
  const std::string message("count = 42 with\0zero", 20);
  std::string output = captured([&] {
    LogLine(3) << "count = " << 42 << std::string(" with\0zero", 10);
    LogLine(5) << "never";
  });
  EXPECT_EQ(output, "");
  ASSERT_EQ(received.lines.size(), 1u);
  EXPECT_EQ(received.lines[0].first, Warn);
  EXPECT_EQ(received.lines[0].second, message);  // no prefix, no newline, the zero byte kept

  setLogCallback(nullptr);
  output = captured([] { LogLine(1) << "back"; });
  EXPECT_EQ(received.lines.size(), 1u);
  EXPECT_NE(output.find("] back\n"), std::string::npos) << output;
}

// A callback that calls the library could need a lock the logging thread holds: the line waits
// until the thread has let every library lock go, then arrives on that thread.
TEST_F(LogTest, LineLoggedUnderALibraryLockArrivesAfterTheLastLockIsLetGo) {
  setLogThreshold(0);
  Mutex outer;
  Mutex inner;
  Received received;
  setLogCallback([&](ZPLogLevel, const std::string& line) {
    received.lines.emplace_back(Debug, line);
    for (Mutex* mutex : {&outer, &inner}) {
      if (mutex->tryLock()) {
        mutex->unlock();
      } else {
        received.lockWasFree = false;
      }
    }
  });
  {
    MutexLock outerLock(outer);
    {
      MutexLock innerLock(inner);
      LogLine(1) << "first";
    }
    LogLine(1) << "second";
    EXPECT_TRUE(received.lines.empty());
  }
  ASSERT_EQ(received.lines.size(), 2u);
  EXPECT_EQ(received.lines[0].second, "first");
  EXPECT_EQ(received.lines[1].second, "second");
  EXPECT_TRUE(received.lockWasFree);
}

TEST_F(LogTest, ThrowingCallbackIsContainedAndItsOwnLinesAreNotHandedBack) {
  setLogThreshold(0);
  int calls = 0;
  setLogCallback([&calls](ZPLogLevel, const std::string&) {
    ++calls;
    LogLine(4) << "caused by the callback";  // would recurse
    throw std::runtime_error("host failure");
  });
  const std::string output = captured([] {
    LogLine(1) << "one";
    LogLine(1) << "two";
  });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(output, "");
}

// Once the callback is replaced, nothing the old one uses may still be in use: replacing it
// waits for a call running on another thread.
TEST_F(LogTest, ReplacingTheCallbackWaitsForItsCallsOnOtherThreads) {
  setLogThreshold(0);
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  setLogCallback([&](ZPLogLevel, const std::string&) {
    inside = true;
    for (int i = 0; i < 500 && !release; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finished = true;
  });
  std::thread logger([] { LogLine(1) << "slow"; });
  for (int i = 0; i < 500 && !inside; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(inside);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release = true;
  });
  setLogCallback([](ZPLogLevel, const std::string&) {});
  EXPECT_TRUE(finished);
  logger.join();
  releaser.join();
}

}  // namespace
}  // namespace zephyl
