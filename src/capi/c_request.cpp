// Requests and batches through the C interface: ZPRequest's fields by enumeration, and the C
// callbacks kept beside the record until a manager receives it (c_manager.cpp binds them).
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "capi/c_handles.h"
#include "engine/request_identity.h"

using zephyl::capi::guarded;

namespace {

std::string* stringField(ZPRequest& request, int field) {
  switch (field) {
    case ZP_REQUEST_URL: return &request.url;
    case ZP_REQUEST_SCENE: return &request.scene;
    case ZP_REQUEST_SAVE_PATH: return &request.savePath;
    case ZP_REQUEST_USER_NAME: return &request.userName;
    case ZP_REQUEST_PASSWORD: return &request.password;
    case ZP_REQUEST_CHECKSUM: return &request.checksum;
    default: return nullptr;
  }
}

int32_t* int32Field(ZPRequest& request, int field) {
  switch (field) {
    case ZP_REQUEST_USER_VALUE: return &request.userValue;
    case ZP_REQUEST_RENAME_IF_EXISTS: return &request.renameIfExists;
    case ZP_REQUEST_OUTPUT_TYPE: return &request.outputType;
    case ZP_REQUEST_AUTH_METHODS: return &request.authMethods;
    default: return nullptr;
  }
}

}  // namespace

extern "C" {

int zp_request_create(const char* url, zp_request** out) {
  if (url == nullptr || out == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_request_create", [&] {
    *out = new zp_request{ZPRequest(url)};
    return ZP_OK;
  });
}

void zp_request_free(zp_request* request) { delete request; }

int zp_request_get_id(const zp_request* request, int32_t* id) {
  if (request == nullptr || id == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *id = request->request.getRequestId();
  return ZP_OK;
}

int zp_request_set_int(zp_request* request, int field, int64_t value) {
  if (request == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  if (field == ZP_REQUEST_HIGH_PRIORITY) {
    if (value != 0 && value != 1) return ZP_ERROR_INVALID_ARGUMENT;
    request->request.highPriority = value == 1;
    return ZP_OK;
  }
  if (field == ZP_REQUEST_MAX_BYTES_PER_SECOND) {
    request->request.maxBytesPerSecond = value;
    return ZP_OK;
  }
  if (field == ZP_REQUEST_STREAM_OFFSET) {
    if (value < 0) return ZP_ERROR_INVALID_ARGUMENT;
    request->request.streamOffset = value;
    return ZP_OK;
  }
  if (field == ZP_REQUEST_AUTH_METHODS && (value < 1 || value > (ZP_AUTH_BASIC | ZP_AUTH_DIGEST))) {
    return ZP_ERROR_INVALID_ARGUMENT;
  }
  int32_t* target = int32Field(request->request, field);
  if (target == nullptr || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    return ZP_ERROR_INVALID_ARGUMENT;
  }
  *target = static_cast<int32_t>(value);
  return ZP_OK;
}

int zp_request_get_int(const zp_request* request, int field, int64_t* value) {
  if (request == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  if (field == ZP_REQUEST_HIGH_PRIORITY) {
    *value = request->request.highPriority ? 1 : 0;
    return ZP_OK;
  }
  if (field == ZP_REQUEST_MAX_BYTES_PER_SECOND) {
    *value = request->request.maxBytesPerSecond;
    return ZP_OK;
  }
  if (field == ZP_REQUEST_STREAM_OFFSET) {
    *value = request->request.streamOffset;
    return ZP_OK;
  }
  // int32Field hands out a pointer for writing; reading through it changes nothing.
  const int32_t* source = int32Field(const_cast<ZPRequest&>(request->request), field);
  if (source == nullptr) return ZP_ERROR_INVALID_ARGUMENT;
  *value = *source;
  return ZP_OK;
}

int zp_request_set_string(zp_request* request, int field, const char* value) {
  if (request == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  std::string* target = stringField(request->request, field);
  if (target == nullptr) return ZP_ERROR_INVALID_ARGUMENT;
  // The user name is quoted into a digest answer as it is.
  if (field == ZP_REQUEST_USER_NAME && std::strpbrk(value, "\r\n") != nullptr) {
    return ZP_ERROR_INVALID_ARGUMENT;
  }
  return guarded("zp_request_set_string", [&] {
    *target = value;
    return ZP_OK;
  });
}

int zp_request_get_string(const zp_request* request, int field,
                          const char** value) {
  if (request == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  const std::string* source = stringField(const_cast<ZPRequest&>(request->request), field);
  if (source == nullptr) return ZP_ERROR_INVALID_ARGUMENT;
  *value = source->c_str();
  return ZP_OK;
}

int zp_request_set_callbacks(zp_request* request, zp_start_callback on_start,
                             zp_progress_callback on_progress, zp_complete_callback on_complete,
                             void* user) {
  if (request == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  request->onStart = on_start;
  request->onProgress = on_progress;
  request->onComplete = on_complete;
  request->user = user;
  return ZP_OK;
}

int zp_request_set_data_callback(zp_request* request, zp_data_callback on_data, void* user) {
  if (request == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  request->onData = on_data;
  request->dataUser = user;
  return ZP_OK;
}

int zp_request_add_header(zp_request* request, const char* name, const char* value) {
  if (request == nullptr || name == nullptr || value == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_request_add_header", [&] {
    if (!zephyl::headerRefusal(name, value).empty()) return ZP_ERROR_INVALID_ARGUMENT;
    request->request.headers.emplace_back(name, value);
    return ZP_OK;
  });
}

int zp_batch_create(zp_batch** out) {
  if (out == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_batch_create", [&] {
    *out = new zp_batch();
    return ZP_OK;
  });
}

void zp_batch_free(zp_batch* batch) { delete batch; }

int zp_batch_add(zp_batch* batch, const zp_request* request) {
  if (batch == nullptr || request == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_batch_add", [&] {
    batch->requests.push_back(*request);
    return ZP_OK;
  });
}

int zp_batch_count(const zp_batch* batch, size_t* count) {
  if (batch == nullptr || count == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  *count = batch->requests.size();
  return ZP_OK;
}

int zp_batch_set_callbacks(zp_batch* batch, zp_batch_start_callback on_start,
                           zp_batch_progress_callback on_progress,
                           zp_batch_request_complete_callback on_request_complete,
                           zp_batch_complete_callback on_batch_complete, void* user) {
  if (batch == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  batch->onStart = on_start;
  batch->onProgress = on_progress;
  batch->onRequestComplete = on_request_complete;
  batch->onBatchComplete = on_batch_complete;
  batch->user = user;
  return ZP_OK;
}

}  // extern "C"
