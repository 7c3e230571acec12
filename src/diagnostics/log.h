// The library's log: one line per statement, filtered by one process-wide threshold (initially
// None: nothing is written). A line goes to the host's log callback when one is set, else to
// standard output as "[Zephyl][<local time>] <text>". Thread-safe: each LogLine belongs to the
// thread that builds it, and a finished line reaches stdout in one write.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
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

// The host's receiver of log lines: the level and the line's text (no prefix, no newline).
using LogCallback = std::function<void(ZPLogLevel, const std::string&)>;

// Sends every later line to callback instead of standard output (empty: standard output again).
// Lines reach the callback whole, on the thread that logged them, and only while that thread
// holds no library Mutex (a line logged under one waits until the thread's last one is let go;
// a wait on a ConditionVariable in between does not count as letting go).
// Returns once no other thread runs the callback this one replaced, so that whatever it uses may
// be freed. Lines the callback itself causes on its thread are dropped (no recursion), and what
// it throws is dropped too. Any thread, the callback's own included.
void setLogCallback(LogCallback callback);

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
  const bool prefixed_;     // enabled at opening: the line carries the time prefix on stdout
  const std::time_t openedAt_;
  std::string text_;
};

}  // namespace zephyl

// Skips the whole statement, arguments included, when its level is disabled. Use on hot paths.
#define ZP_LOG(level) \
  if (!::zephyl::isLogEnabled(level)) { \
  } else                                \
    ::zephyl::LogLine(level)
