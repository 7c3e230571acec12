// File-name helpers through the C interface.
#include <cstring>
#include <string>

#include "capi/c_handles.h"
#include "zephyl/zp_file_names.h"

using zephyl::capi::guarded;

extern "C" {

int zp_safe_file_name(const char* name, const char* fallback, char* buffer, size_t capacity) {
  return guarded("zp_safe_file_name", [&] {
    if (name == nullptr || buffer == nullptr) return ZP_ERROR_NULL_ARGUMENT;
    const std::string safe = zpSafeFileName(name, fallback == nullptr ? "" : fallback);
    if (safe.size() >= capacity) return ZP_ERROR_INVALID_ARGUMENT;
    std::memcpy(buffer, safe.c_str(), safe.size() + 1);
    return ZP_OK;
  });
}

}  // extern "C"
