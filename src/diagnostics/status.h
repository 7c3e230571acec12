// Status: the outcome of an internal operation that can fail. An ok value, or an error with the
// library's code (what a host finally sees as a response's error code), the system's code behind
// it (errno, GetLastError(); 0 when none) and a message. An ok value holds no text and allocates
// nothing; moving is cheap. A plain value: one thread at a time per object, copies are free to
// cross threads.
#pragma once

#include <string>
#include <utility>

namespace zephyl {

class Status {
 public:
  // An ok value.
  Status() = default;

  static Status ok() { return Status(); }
  // A failure with the library's code, its message and the system's code behind it.
  static Status error(int code, std::string message, int systemCode = 0) {
    return Status(code, std::move(message), systemCode);
  }
  // A failure reported by the system: its code is the library's code too.
  static Status systemError(int systemCode, std::string message) {
    return Status(systemCode, std::move(message), systemCode);
  }

  bool isOk() const { return !failed_; }
  // 0 for an ok value; a failure may carry 0 as well (then only isOk tells).
  int code() const { return code_; }
  int systemCode() const { return systemCode_; }
  // Empty for an ok value.
  const std::string& message() const { return message_; }

 private:
  Status(int code, std::string message, int systemCode)
      : failed_(true), code_(code), systemCode_(systemCode), message_(std::move(message)) {}

  bool failed_ = false;
  int code_ = 0;
  int systemCode_ = 0;
  std::string message_;
};

// Stores status into a caller's optional out-parameter (functions that return a value report
// their failure this way).
inline void storeStatus(Status* out, Status status) {
  if (out != nullptr) *out = std::move(status);
}

}  // namespace zephyl
