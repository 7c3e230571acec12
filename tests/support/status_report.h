// Reads a Status into the (code, message) pair that tests compare: a failure's code and message
// are copied into the pointers given (either may be null), a success leaves them untouched, so a
// test can still check that a call that succeeded reported nothing. One thread at a time.
#pragma once

#include <string>

#include "diagnostics/status.h"

namespace zephyl::test {

// Copies a failure into code and message; true when status is ok.
inline bool reported(const Status& status, int* code, std::string* message) {
  if (status.isOk()) return true;
  if (code != nullptr) *code = status.code();
  if (message != nullptr) *message = status.message();
  return false;
}

// A Status out-parameter for one call whose failure ends up in code and message when the
// temporary is destroyed, at the end of the full expression: f(args, ReportTo(&code, &message)).
class ReportTo {
 public:
  ReportTo(int* code, std::string* message) : code_(code), message_(message) {}
  ~ReportTo() { (void)reported(status_, code_, message_); }
  ReportTo(const ReportTo&) = delete;
  ReportTo& operator=(const ReportTo&) = delete;

  operator Status*() { return &status_; }  // NOLINT(google-explicit-constructor)

 private:
  int* const code_;
  std::string* const message_;
  Status status_;
};

}  // namespace zephyl::test
