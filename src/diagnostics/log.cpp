#include "diagnostics/log.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <utility>

#include "diagnostics/log_sink.h"

namespace zephyl {
namespace {

constexpr int kLevelNone = 5;
constexpr int kDetailThreshold = 2;

// The threshold, None until the host lowers it (the host's callback is log_sink.cpp's).
std::atomic<int> threshold{kLevelNone};

}  // namespace

void setLogThreshold(int level) { threshold.store(level, std::memory_order_relaxed); }

int logThreshold() { return threshold.load(std::memory_order_relaxed); }

bool isLogEnabled(int level) { return level != kLevelNone && level >= logThreshold(); }

bool isDetailLogEnabled() { return logThreshold() <= kDetailThreshold; }

LogLine::LogLine(int level)
    : level_(level),
      prefixed_(isLogEnabled(level)),
      openedAt_(prefixed_ ? std::time(nullptr) : 0) {}

LogLine::~LogLine() {
  if (!isLogEnabled(level_)) return;
  emitLogLine(FinishedLogLine{level_, prefixed_, openedAt_, std::move(text_)});
}

LogLine& LogLine::operator<<(const char* text) {
  if (text != nullptr && isLogEnabled(level_)) text_.append(text);
  return *this;
}

LogLine& LogLine::operator<<(const std::string& text) {
  if (isLogEnabled(level_)) text_.append(text.data(), text.size());
  return *this;
}

LogLine& LogLine::operator<<(char c) {
  if (isLogEnabled(level_)) text_.push_back(c);
  return *this;
}

LogLine& LogLine::operator<<(bool value) { return appendInteger(value ? 1 : 0); }
LogLine& LogLine::operator<<(int value) { return appendInteger(value); }
LogLine& LogLine::operator<<(unsigned value) { return appendInteger(value); }
LogLine& LogLine::operator<<(long value) { return appendInteger(value); }
LogLine& LogLine::operator<<(unsigned long value) { return appendInteger(value); }
LogLine& LogLine::operator<<(long long value) { return appendInteger(value); }
LogLine& LogLine::operator<<(unsigned long long value) { return appendInteger(value); }

LogLine& LogLine::operator<<(double value) {
  if (isLogEnabled(level_)) {
    char digits[64];
    const int length = std::snprintf(digits, sizeof digits, "%g", value);
    if (length > 0) text_.append(digits, static_cast<size_t>(length));
  }
  return *this;
}

template <typename Integer>
LogLine& LogLine::appendInteger(Integer value) {
  if (isLogEnabled(level_)) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    text_.append(digits, end.ptr);
  }
  return *this;
}

}  // namespace zephyl
