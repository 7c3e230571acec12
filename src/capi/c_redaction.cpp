// Credential redaction through the C interface: the C++ functions of zephyl/zp_redaction.h, their
// results copied into the caller's buffer.
#include <cstring>
#include <string>

#include "capi/c_handles.h"
#include "zephyl/zp_redaction.h"

using zephyl::capi::guarded;

namespace {

// Copies shown and a zero byte into buffer when capacity holds both; *length gets its length in
// any case.
int handOut(const std::string& shown, char* buffer, size_t capacity, size_t* length) {
  *length = shown.size();
  if (buffer == nullptr || capacity <= shown.size()) return ZP_ERROR_BUFFER_TOO_SMALL;
  std::memcpy(buffer, shown.data(), shown.size());
  buffer[shown.size()] = '\0';
  return ZP_OK;
}

template <typename Redact>
int redactInto(const char* name, const char* text, char* buffer, size_t capacity, size_t* length,
               Redact redact) {
  if (text == nullptr || length == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded(name,
                 [&] { return handOut(redact(std::string(text)), buffer, capacity, length); });
}

}  // namespace

extern "C" {

int zp_redact_url(const char* url, char* buffer, size_t capacity, size_t* length) {
  return redactInto("zp_redact_url", url, buffer, capacity, length, zephyl::redactUrl);
}

int zp_redact_header_line(const char* line, char* buffer, size_t capacity, size_t* length) {
  return redactInto("zp_redact_header_line", line, buffer, capacity, length,
                    zephyl::redactHeaderLine);
}

int zp_redact_text(const char* text, char* buffer, size_t capacity, size_t* length) {
  return redactInto("zp_redact_text", text, buffer, capacity, length, zephyl::redactUrlsIn);
}

}  // extern "C"
