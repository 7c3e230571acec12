// LogCapture: captures standard output with the log threshold lowered, for tests that check log
// lines; restores the threshold to None (5) when the text is taken or the object goes. One thread
// at a time; no other capture may run meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "diagnostics/log.h"

namespace zephyl::test {

class LogCapture {
 public:
  explicit LogCapture(int threshold) {
    testing::internal::CaptureStdout();
    setLogThreshold(threshold);
  }
  ~LogCapture() {
    if (!taken_) take();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything printed since construction; ends the capture.
  std::string take() {
    taken_ = true;
    setLogThreshold(5);
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

// How often part occurs in text (overlaps counted).
inline size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace zephyl::test
