// Responses through the C interface, and the process-wide calls (status texts, version, identity
// strings).
#include <cctype>
#include <cstdint>
#include <string>

#include "capi/c_handles.h"

using zephyl::capi::guarded;

// The C causes are the C++ ones.
static_assert(ZP_CAUSE_NONE == ZPResponse::CAUSE_NONE);
static_assert(ZP_CAUSE_CANCELLED == ZPResponse::CAUSE_CANCELLED);
static_assert(ZP_CAUSE_STOPPED == ZPResponse::CAUSE_STOPPED);
static_assert(ZP_CAUSE_INTERNAL == ZPResponse::CAUSE_INTERNAL);
static_assert(ZP_CAUSE_NETWORK == ZPResponse::CAUSE_NETWORK);
static_assert(ZP_CAUSE_HOST_NOT_FOUND == ZPResponse::CAUSE_HOST_NOT_FOUND);
static_assert(ZP_CAUSE_CONNECTION_REFUSED == ZPResponse::CAUSE_CONNECTION_REFUSED);
static_assert(ZP_CAUSE_TIMED_OUT == ZPResponse::CAUSE_TIMED_OUT);
static_assert(ZP_CAUSE_CERTIFICATE_UNTRUSTED == ZPResponse::CAUSE_CERTIFICATE_UNTRUSTED);
static_assert(ZP_CAUSE_TLS_FAILED == ZPResponse::CAUSE_TLS_FAILED);
static_assert(ZP_CAUSE_PROXY_UNREACHABLE == ZPResponse::CAUSE_PROXY_UNREACHABLE);
static_assert(ZP_CAUSE_PROXY_REFUSED == ZPResponse::CAUSE_PROXY_REFUSED);
static_assert(ZP_CAUSE_SERVER_STATUS == ZPResponse::CAUSE_SERVER_STATUS);
static_assert(ZP_CAUSE_SERVER_CLOSED_EARLY == ZPResponse::CAUSE_SERVER_CLOSED_EARLY);
static_assert(ZP_CAUSE_SERVER_IGNORES_RANGES == ZPResponse::CAUSE_SERVER_IGNORES_RANGES);
static_assert(ZP_CAUSE_SERVER_WRONG_LENGTH == ZPResponse::CAUSE_SERVER_WRONG_LENGTH);
static_assert(ZP_CAUSE_TOO_MANY_REDIRECTS == ZPResponse::CAUSE_TOO_MANY_REDIRECTS);
static_assert(ZP_CAUSE_SERVER_BAD_ANSWER == ZPResponse::CAUSE_SERVER_BAD_ANSWER);
static_assert(ZP_CAUSE_RESOURCE_CHANGED == ZPResponse::CAUSE_RESOURCE_CHANGED);
static_assert(ZP_CAUSE_DISK_FULL == ZPResponse::CAUSE_DISK_FULL);
static_assert(ZP_CAUSE_ACCESS_DENIED == ZPResponse::CAUSE_ACCESS_DENIED);
static_assert(ZP_CAUSE_FILE_IN_USE == ZPResponse::CAUSE_FILE_IN_USE);
static_assert(ZP_CAUSE_NO_SUCH_DRIVE == ZPResponse::CAUSE_NO_SUCH_DRIVE);
static_assert(ZP_CAUSE_NAME_NOT_ALLOWED == ZPResponse::CAUSE_NAME_NOT_ALLOWED);
static_assert(ZP_CAUSE_READ_ONLY == ZPResponse::CAUSE_READ_ONLY);
static_assert(ZP_CAUSE_DISK_ERROR == ZPResponse::CAUSE_DISK_ERROR);
static_assert(ZP_CAUSE_BAD_URL == ZPResponse::CAUSE_BAD_URL);
static_assert(ZP_CAUSE_BAD_HEADER == ZPResponse::CAUSE_BAD_HEADER);
static_assert(ZP_CAUSE_BAD_PROXY == ZPResponse::CAUSE_BAD_PROXY);
static_assert(ZP_CAUSE_BAD_CHECKSUM == ZPResponse::CAUSE_BAD_CHECKSUM);
static_assert(ZP_CAUSE_CHECKSUM_MISMATCH == ZPResponse::CAUSE_CHECKSUM_MISMATCH);
static_assert(ZP_CAUSE_BAD_STREAM == ZPResponse::CAUSE_BAD_STREAM);

extern "C" {

const char* zp_status_text(int status) {
  switch (status) {
    case ZP_OK: return "ok";
    case ZP_ERROR_NULL_ARGUMENT: return "a required argument is null";
    case ZP_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case ZP_ERROR_OUT_OF_MEMORY: return "out of memory";
    case ZP_ERROR_NOT_FOUND: return "not found";
    case ZP_ERROR_WRONG_THREAD: return "not allowed from a callback of this manager";
    case ZP_ERROR_INTERNAL: return "internal error";
    case ZP_ERROR_BUFFER_TOO_SMALL: return "the buffer is too small";
    case ZP_ERROR_STORAGE_CONFLICT:
      return "another manager uses the storage root with other cache limits";
    default: return "unknown status";
  }
}

const char* zp_result_text(int code) { return ZPResponse::codeText(code); }

const char* zp_cause_text(int cause) { return ZPResponse::causeText(cause); }

int zp_response_get_cause(const zp_response* response, int32_t* cause) {
  if (response == nullptr || cause == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *cause = response->response.cause;
  return ZP_OK;
}

const char* zp_version(void) { return ZEPHYL_VERSION_STRING; }

int zp_set_identity(const char* gid, const char* uid) {
  return guarded("zp_set_identity", [&] {
    if (gid != nullptr) Zephyl::gid = gid;
    if (uid != nullptr) Zephyl::uid = uid;
    return ZP_OK;
  });
}

int zp_response_copy(const zp_response* response, zp_response** out) {
  if (response == nullptr || out == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_response_copy", [&] {
    *out = new zp_response{response->response};
    return ZP_OK;
  });
}

void zp_response_free(zp_response* response) { delete response; }

int zp_response_get_codes(const zp_response* response, int32_t* result_code, int32_t* error_code,
                          int32_t* extra_error_code) {
  if (response == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  if (result_code != nullptr) *result_code = response->response.resultCode;
  if (error_code != nullptr) *error_code = response->response.errorCode;
  if (extra_error_code != nullptr) *extra_error_code = response->response.extraErrorCode;
  return ZP_OK;
}

int zp_response_get_error_message(const zp_response* response, const char** message) {
  if (response == nullptr || message == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *message = response->response.errorMsg.c_str();
  return ZP_OK;
}

int zp_response_get_file(const zp_response* response, const char** path) {
  if (response == nullptr || path == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *path = response->response.outputFilePath.c_str();
  return ZP_OK;
}

int zp_response_get_file_length(const zp_response* response, int64_t* length) {
  if (response == nullptr || length == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *length = response->response.fileLength;
  return ZP_OK;
}

int zp_response_get_data(const zp_response* response, const uint8_t** data, size_t* size) {
  if (response == nullptr || data == nullptr || size == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  const auto& bytes = response->response.outputData;
  *data = bytes ? bytes->data() : nullptr;
  *size = bytes ? bytes->size() : 0;
  return ZP_OK;
}

int zp_response_get_md5(const zp_response* response, const char** md5) {
  if (response == nullptr || md5 == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_response_get_md5", [&] {
    // getMd5Etag fills the response's own cache, which outlives this call; a failure leaves it
    // empty, so the pointer reads "" then.
    response->response.getMd5Etag();
    *md5 = response->response.md5Etag.c_str();
    return ZP_OK;
  });
}

int zp_response_get_sha256(const zp_response* response, const char** sha256) {
  if (response == nullptr || sha256 == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_response_get_sha256", [&] {
    // As for the MD5: the response's own cache outlives this call.
    response->response.getSha256();
    *sha256 = response->response.sha256.c_str();
    return ZP_OK;
  });
}

int zp_response_get_http_code(const zp_response* response, int32_t* http_code) {
  if (response == nullptr || http_code == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *http_code = response->response.httpCode;
  return ZP_OK;
}

int zp_response_get_header(const zp_response* response, const char* name, const char** value) {
  if (response == nullptr || name == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_response_get_header", [&] {
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [headerName, headerValue] : response->response.headers) {
      if (headerName != folded) continue;
      *value = headerValue.c_str();
      return ZP_OK;
    }
    return ZP_ERROR_NOT_FOUND;
  });
}

}  // extern "C"
