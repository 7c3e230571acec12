// Where a finished log line goes: the host's log callback (setLogCallback in diagnostics/log.h)
// or, without one, standard output. Thread-safe; used by LogLine only.
#pragma once

#include <ctime>
#include <string>

namespace zephyl {

struct FinishedLogLine {
  int level = 0;
  bool prefixed = false;     // standard output: starts with "[Zephyl][<openedAt>] "
  std::time_t openedAt = 0;  // when the statement opened
  std::string text;          // without prefix and newline
};

// Hands line to the callback, defers it while the calling thread holds a library Mutex, or
// writes it to standard output in one write. Never throws.
void emitLogLine(FinishedLogLine&& line) noexcept;

}  // namespace zephyl
