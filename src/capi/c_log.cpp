// The log through the C interface: its threshold and the host's receiver of its lines.
#include <functional>
#include <string>
#include <utility>

#include "capi/c_handles.h"

using zephyl::capi::guarded;

namespace {

bool isLogLevel(int level) { return level >= ZP_LOG_VERBOSE && level <= ZP_LOG_NONE; }

}  // namespace

extern "C" {

int zp_set_log_level(int level) {
  if (!isLogLevel(level)) return ZP_ERROR_INVALID_ARGUMENT;
  Zephyl::setLogLevel(static_cast<ZPLogLevel>(level));
  return ZP_OK;
}

int zp_set_log_callback(int level_threshold, zp_log_callback callback, void* user) {
  if (!isLogLevel(level_threshold)) return ZP_ERROR_INVALID_ARGUMENT;
  return guarded("zp_set_log_callback", [&] {
    std::function<void(ZPLogLevel, const std::string&)> receiver;
    if (callback != nullptr) {
      receiver = [callback, user](ZPLogLevel level, const std::string& line) {
        callback(user, static_cast<int>(level), line.c_str(), line.size());
      };
    }
    // The receiver first: lines of the new threshold must not reach the old one's place.
    Zephyl::setLogCallback(std::move(receiver));
    Zephyl::setLogLevel(static_cast<ZPLogLevel>(level_threshold));
    return ZP_OK;
  });
}

}  // extern "C"
