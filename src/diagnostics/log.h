// The library's log: one line per statement on standard output, "[Zephyl][<local time>] <text>",
// filtered by one process-wide threshold (initially None: nothing is printed). Thread-safe: each
// LogLine belongs to the thread that builds it, and a finished line reaches stdout in one write.
#pragma once

#include <cstdint>
#include <string>

#include "zephyl/zp_log_level.h"

namespace zephyl {

// Sets the process-wide threshold; no check of the value.
void setLogThreshold(int level);
int logThreshold();

// False for level 5 (None); otherwise true when level >= threshold.
bool isLogEnabled(int level);
// True when the threshold is Info (2) or lower: enables the few lines that cost extra work.
bool isDetailLogEnabled();

// One log statement. The level is tested when it opens, at every append and when it closes, so a
// disabled statement formats nothing. The line is written when the object is destroyed.
class LogLine {
 public:
  explicit LogLine(int level);
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  LogLine& operator<<(const char* text);
  LogLine& operator<<(const std::string& text);  // whole, embedded zero bytes included
  LogLine& operator<<(char c);
  LogLine& operator<<(bool value);
  LogLine& operator<<(int value);
  LogLine& operator<<(unsigned value);
  LogLine& operator<<(long value);
  LogLine& operator<<(unsigned long value);
  LogLine& operator<<(long long value);
  LogLine& operator<<(unsigned long long value);
  LogLine& operator<<(double value);

 private:
  template <typename Integer>
  LogLine& appendInteger(Integer value);

  const int level_;
  std::string text_;
};

}  // namespace zephyl

// Skips the whole statement, arguments included, when its level is disabled. Use on hot paths.
#define ZP_LOG(level) \
  if (!::zephyl::isLogEnabled(level)) { \
  } else                                \
    ::zephyl::LogLine(level)
