#include "diagnostics/host_call.h"

#include "diagnostics/log.h"

namespace zephyl {

void logHostThrow(const char* name, const char* what) noexcept {
  try {
    if (what != nullptr) {
      ZP_LOG(Error) << name << " threw: " << what;
    } else {
      ZP_LOG(Error) << name << " threw an exception of unknown type";
    }
  } catch (...) {
    // Out of memory while formatting the line: the line is lost, nothing else.
  }
}

}  // namespace zephyl
