// Settings through the C interface: one field enumeration mapped onto ZPSetting and its two
// policies, every value checked against its field's type and range before it is stored.
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "capi/c_handles.h"
#include "engine/request_identity.h"

using zephyl::capi::guarded;

namespace {

// What a field may hold.
struct IntRange {
  int64_t minimum;
  int64_t maximum;
};
constexpr IntRange kInt32{std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
constexpr IntRange kInt64{std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
constexpr IntRange kCount{1, std::numeric_limits<int32_t>::max()};
constexpr IntRange kFlag{0, 1};

// The integer member behind field with its range, or null for a string or unknown field.
// Members of 32 bits and of 64 bits are told apart by wide.
struct IntField {
  int32_t* narrow = nullptr;
  int64_t* wide = nullptr;
  IntRange range = kInt32;
};

IntField intField(ZPSetting& setting, int field) {
  ZPHttpPolicy& http = setting.httpPolicy;
  switch (field) {
    case ZP_SETTING_TIMEOUT_MS: return {&http.timeoutMs, nullptr, kInt32};
    case ZP_SETTING_CONNECT_TIMEOUT_MS: return {&http.connectTimeoutMs, nullptr, kInt32};
    case ZP_SETTING_SERVER_ERROR_RETRY_COUNT: return {&http.serverErrorRetryCount, nullptr, kInt32};
    case ZP_SETTING_NET_ERROR_RETRY_COUNT: return {&http.netErrorRetryCount, nullptr, kInt32};
    case ZP_SETTING_EXECUTE_RETRY_COUNT: return {&http.executeRetryCount, nullptr, kInt32};
    case ZP_SETTING_RETRY_DELAY_MS: return {&http.retryDelayMs, nullptr, kInt32};
    case ZP_SETTING_STALL_TIMEOUT_MS: return {&http.stallTimeoutMs, nullptr, kInt32};
    case ZP_SETTING_MAX_REDIRECTS: return {&http.maxRedirects, nullptr, kInt32};
    case ZP_SETTING_MAX_RETRY_AFTER_MS: return {&http.maxRetryAfterMs, nullptr, kInt32};
    case ZP_SETTING_CACHE_MAX_SIZE: return {nullptr, &setting.cachePolicy.maxSize, kInt64};
    case ZP_SETTING_CACHE_MAX_COUNT: return {&setting.cachePolicy.maxCount, nullptr, kInt32};
    case ZP_SETTING_CACHE_EXPIRED_TIME_MS:
      return {nullptr, &setting.cachePolicy.cacheExpiredTime, kInt64};
    case ZP_SETTING_TASK_THREAD_NUM: return {&setting.taskThreadNum, nullptr, kCount};
    case ZP_SETTING_THREAD_NUM: return {&setting.threadNum, nullptr, kCount};
    case ZP_SETTING_SPLIT_THRESHOLD_MS: return {&setting.splitThresholdMs, nullptr, kInt32};
    case ZP_SETTING_PROGRESS_SAVE_INTERVAL_MS:
      return {&setting.progressSaveIntervalMs, nullptr, kInt32};
    case ZP_SETTING_BLOCK_SIZE:
      return {nullptr, &setting.blockSize, {1, std::numeric_limits<int64_t>::max()}};
    case ZP_SETTING_MAX_BYTES_PER_SECOND: return {nullptr, &setting.maxBytesPerSecond, kInt64};
    default: return {};
  }
}

// The yes/no member behind field (0 or 1 through the interface), or null.
bool* flagField(ZPSetting& setting, int field) {
  switch (field) {
    case ZP_SETTING_VERIFY_TLS: return &setting.httpPolicy.verifyTls;
    case ZP_SETTING_WRITE_OUT_BEFORE_DELIVERY: return &setting.writeOutBeforeDelivery;
    case ZP_SETTING_KEEP_SERVER_TIME: return &setting.keepServerTime;
    case ZP_SETTING_USE_SYSTEM_PROXY: return &setting.httpPolicy.useSystemProxy;
    case ZP_SETTING_REPEAT_LASTING_FAILURES: return &setting.httpPolicy.repeatLastingFailures;
    default: return nullptr;
  }
}

// The string member behind field, or null.
std::string* stringField(ZPSetting& setting, int field) {
  switch (field) {
    case ZP_SETTING_CA_CERTIFICATE_PATH: return &setting.httpPolicy.caCertificatePath;
    case ZP_SETTING_SAVE_DIR_PATH: return &setting.saveDirPath;
    case ZP_SETTING_ROOT_DIR: return &setting.rootDir;
    case ZP_SETTING_USER_AGENT: return &setting.httpPolicy.userAgent;
    case ZP_SETTING_PROXY: return &setting.httpPolicy.proxy;
    case ZP_SETTING_NO_PROXY: return &setting.httpPolicy.noProxy;
    case ZP_SETTING_COOKIE_FILE: return &setting.httpPolicy.cookieFile;
    default: return nullptr;
  }
}

}  // namespace

extern "C" {

int zp_setting_create(const char* root_dir, const char* save_dir_path, zp_setting** out) {
  if (root_dir == nullptr || save_dir_path == nullptr || out == nullptr) {
    return ZP_ERROR_NULL_ARGUMENT;
  }
  if (*root_dir == '\0') return ZP_ERROR_INVALID_ARGUMENT;
  return guarded("zp_setting_create", [&] {
    *out = new zp_setting{ZPSetting(root_dir, save_dir_path)};
    return ZP_OK;
  });
}

void zp_setting_free(zp_setting* setting) { delete setting; }

int zp_setting_set_int(zp_setting* setting, int field, int64_t value) {
  if (setting == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  if (bool* flag = flagField(setting->setting, field)) {
    if (value < kFlag.minimum || value > kFlag.maximum) return ZP_ERROR_INVALID_ARGUMENT;
    *flag = value != 0;
    return ZP_OK;
  }
  const IntField target = intField(setting->setting, field);
  if (target.narrow == nullptr && target.wide == nullptr) return ZP_ERROR_INVALID_ARGUMENT;
  if (value < target.range.minimum || value > target.range.maximum) {
    return ZP_ERROR_INVALID_ARGUMENT;
  }
  if (target.narrow != nullptr) {
    *target.narrow = static_cast<int32_t>(value);
  } else {
    *target.wide = value;
  }
  return ZP_OK;
}

int zp_setting_get_int(const zp_setting* setting, int field, int64_t* value) {
  if (setting == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  if (const bool* flag = flagField(const_cast<ZPSetting&>(setting->setting), field)) {
    *value = *flag ? 1 : 0;
    return ZP_OK;
  }
  // intField hands out pointers for writing; reading through them changes nothing.
  const IntField source = intField(const_cast<ZPSetting&>(setting->setting), field);
  if (source.narrow != nullptr) {
    *value = *source.narrow;
  } else if (source.wide != nullptr) {
    *value = *source.wide;
  } else {
    return ZP_ERROR_INVALID_ARGUMENT;
  }
  return ZP_OK;
}

int zp_setting_set_string(zp_setting* setting, int field, const char* value) {
  if (setting == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  std::string* target = stringField(setting->setting, field);
  if (target == nullptr) return ZP_ERROR_INVALID_ARGUMENT;
  if (field == ZP_SETTING_ROOT_DIR && *value == '\0') return ZP_ERROR_INVALID_ARGUMENT;
  if (field == ZP_SETTING_USER_AGENT && !zephyl::headerRefusal("User-Agent", value).empty()) {
    return ZP_ERROR_INVALID_ARGUMENT;
  }
  return guarded("zp_setting_set_string", [&] {
    *target = value;
    return ZP_OK;
  });
}

int zp_setting_get_string(const zp_setting* setting, int field,
                          const char** value) {
  if (setting == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  const std::string* source = stringField(const_cast<ZPSetting&>(setting->setting), field);
  if (source == nullptr) return ZP_ERROR_INVALID_ARGUMENT;
  *value = source->c_str();
  return ZP_OK;
}

int zp_setting_add_alternative_host(zp_setting* setting, const char* host,
                                    const char* alternative) {
  if (setting == nullptr || host == nullptr || alternative == nullptr) {
    return ZP_ERROR_NULL_ARGUMENT;
  }
  if (*host == '\0' || *alternative == '\0') return ZP_ERROR_INVALID_ARGUMENT;
  return guarded("zp_setting_add_alternative_host", [&] {
    setting->setting.httpPolicy.domainMap[host].emplace_back(alternative);
    return ZP_OK;
  });
}

int zp_setting_clear_alternative_hosts(zp_setting* setting, const char* host) {
  if (setting == nullptr || host == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_setting_clear_alternative_hosts", [&] {
    setting->setting.httpPolicy.domainMap.erase(host);
    return ZP_OK;
  });
}

int zp_setting_get_alternative_host(const zp_setting* setting, const char* host, size_t index,
                                    const char** alternative) {
  if (setting == nullptr || host == nullptr || alternative == nullptr) {
    return ZP_ERROR_NULL_ARGUMENT;
  }
  return guarded("zp_setting_get_alternative_host", [&] {
    const auto& domainMap = setting->setting.httpPolicy.domainMap;
    const auto found = domainMap.find(host);
    if (found == domainMap.end() || index >= found->second.size()) return ZP_ERROR_NOT_FOUND;
    *alternative = found->second[index].c_str();
    return ZP_OK;
  });
}

int zp_setting_add_header(zp_setting* setting, const char* name, const char* value) {
  if (setting == nullptr || name == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_setting_add_header", [&] {
    if (!zephyl::headerRefusal(name, value).empty()) return ZP_ERROR_INVALID_ARGUMENT;
    setting->setting.httpPolicy.headers.emplace_back(name, value);
    return ZP_OK;
  });
}

int zp_setting_clear_headers(zp_setting* setting) {
  if (setting == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  setting->setting.httpPolicy.headers.clear();
  return ZP_OK;
}

}  // extern "C"
