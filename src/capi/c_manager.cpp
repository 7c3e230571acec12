// The download manager through the C interface. A request or batch handed in is copied, and its
// C callbacks are bound to trampolines that know the manager: each marks its thread as inside a
// callback of that manager while host code runs, so that freeing the manager or waiting for a
// batch from there is refused instead of waiting for itself.
#include <memory>
#include <string>
#include <vector>

#include "capi/c_handles.h"

using zephyl::capi::guarded;
using zephyl::capi::InCallback;
using zephyl::capi::insideCallbackOf;

namespace zephyl::capi {

InCallback::InCallback(zp_manager* manager) : manager_(manager) {
  MutexLock lock(manager_->callbackMutex);
  ++manager_->callbackDepth[std::this_thread::get_id()];
}

InCallback::~InCallback() {
  MutexLock lock(manager_->callbackMutex);
  const auto found = manager_->callbackDepth.find(std::this_thread::get_id());
  if (found != manager_->callbackDepth.end() && --found->second == 0) {
    manager_->callbackDepth.erase(found);
  }
}

bool insideCallbackOf(zp_manager* manager) {
  MutexLock lock(manager->callbackMutex);
  return manager->callbackDepth.count(std::this_thread::get_id()) != 0;
}

}  // namespace zephyl::capi

namespace {

// A copy of the handle's request whose onData calls the handle's C data callback (also in a
// batch, where the other callbacks are the batch's).
ZPRequest withDataCallback(zp_manager* manager, const zp_request& handle) {
  ZPRequest request = handle.request;
  request.onData = nullptr;
  if (zp_data_callback onData = handle.onData) {
    void* const user = handle.dataUser;
    request.onData = [manager, onData, user](const ZPRequest& running, const char* data,
                                             size_t size) {
      InCallback inside(manager);
      return onData(user, running.getRequestId(), reinterpret_cast<const uint8_t*>(data), size) !=
             0;
    };
  }
  return request;
}

// A copy of the handle's request whose callbacks call the handle's C callbacks.
ZPRequest boundRequest(zp_manager* manager, const zp_request& handle) {
  ZPRequest request = withDataCallback(manager, handle);
  void* const user = handle.user;
  request.onStart = nullptr;
  request.onProgress = nullptr;
  request.onComplete = nullptr;
  if (zp_start_callback onStart = handle.onStart) {
    request.onStart = [manager, onStart, user](const ZPRequest& started) {
      InCallback inside(manager);
      onStart(user, started.getRequestId());
    };
  }
  if (zp_progress_callback onProgress = handle.onProgress) {
    request.onProgress = [manager, onProgress, user](const ZPRequest& running, int64_t done,
                                                     int64_t total) {
      InCallback inside(manager);
      onProgress(user, running.getRequestId(), done, total);
    };
  }
  if (zp_complete_callback onComplete = handle.onComplete) {
    request.onComplete = [manager, onComplete, user](const ZPRequest& completed,
                                                     const ZPResponse& response) {
      const zp_response borrowed{response};
      InCallback inside(manager);
      onComplete(user, completed.getRequestId(), &borrowed);
    };
  }
  return request;
}

// A ZPBatchRequest of copies of the handle's requests whose batch callbacks call the handle's C
// callbacks. The manager replaces the requests' own callbacks with its batch bookkeeping.
ZPBatchRequest boundBatch(zp_manager* manager, const zp_batch& handle) {
  ZPBatchRequest batch;
  batch.requests.reserve(handle.requests.size());
  for (const zp_request& request : handle.requests) {
    batch.requests.push_back(withDataCallback(manager, request));
  }
  void* const user = handle.user;
  if (zp_batch_start_callback onStart = handle.onStart) {
    batch.onRequestStart = [manager, onStart, user](const ZPBatchRequest&, int index) {
      InCallback inside(manager);
      onStart(user, index);
    };
  }
  if (zp_batch_progress_callback onProgress = handle.onProgress) {
    batch.onRequestProgress = [manager, onProgress, user](const ZPBatchRequest&, int index,
                                                          int64_t done, int64_t total,
                                                          int percent) {
      InCallback inside(manager);
      onProgress(user, index, done, total, percent);
    };
  }
  if (zp_batch_request_complete_callback onRequestComplete = handle.onRequestComplete) {
    batch.onRequestComplete = [manager, onRequestComplete, user](
                                  const ZPBatchRequest&, int index, const ZPResponse& response) {
      const zp_response borrowed{response};
      InCallback inside(manager);
      onRequestComplete(user, index, &borrowed);
    };
  }
  if (zp_batch_complete_callback onBatchComplete = handle.onBatchComplete) {
    batch.onBatchComplete = [manager, onBatchComplete, user](
                                const ZPBatchRequest&, const std::vector<ZPResponse>& responses) {
      std::vector<zp_response> borrowed;
      borrowed.reserve(responses.size());
      for (const ZPResponse& response : responses) borrowed.push_back(zp_response{response});
      std::vector<const zp_response*> pointers;
      pointers.reserve(borrowed.size());
      for (const zp_response& response : borrowed) pointers.push_back(&response);
      InCallback inside(manager);
      onBatchComplete(user, pointers.data(), pointers.size());
    };
  }
  return batch;
}

}  // namespace

extern "C" {

int zp_manager_create(const zp_setting* setting, zp_manager** out) {
  if (setting == nullptr || out == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_create", [&] {
    auto manager = std::make_unique<zp_manager>(setting->setting);
    // Refused at once: every request of such a manager would fail.
    if (!manager->manager.getSetupError().empty()) return ZP_ERROR_STORAGE_CONFLICT;
    *out = manager.release();
    return ZP_OK;
  });
}

int zp_manager_free(zp_manager* manager) {
  if (manager == nullptr) return ZP_OK;
  return guarded("zp_manager_free", [&] {
    if (insideCallbackOf(manager)) return ZP_ERROR_WRONG_THREAD;
    delete manager;
    return ZP_OK;
  });
}

int zp_manager_execute(zp_manager* manager, const zp_request* request, zp_response** out) {
  if (manager == nullptr || request == nullptr || out == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_execute", [&] {
    // Allocated first: once the download ran, nothing may fail before its response is handed
    // out.
    auto response = std::make_unique<zp_response>();
    response->response = manager->manager.execute(boundRequest(manager, *request));
    *out = response.release();
    return ZP_OK;
  });
}

int zp_manager_enqueue(zp_manager* manager, const zp_request* request) {
  if (manager == nullptr || request == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_enqueue", [&] {
    manager->manager.enqueue(boundRequest(manager, *request));
    return ZP_OK;
  });
}

int zp_manager_batch_enqueue(zp_manager* manager, const zp_batch* batch) {
  if (manager == nullptr || batch == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_batch_enqueue", [&] {
    manager->manager.batchEnqueue(boundBatch(manager, *batch));
    return ZP_OK;
  });
}

int zp_manager_batch_execute(zp_manager* manager, const zp_batch* batch, zp_response** responses,
                             size_t capacity) {
  if (manager == nullptr || batch == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  const size_t count = batch->requests.size();
  if (count == 0) return ZP_OK;
  if (responses == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  if (capacity < count) return ZP_ERROR_INVALID_ARGUMENT;
  return guarded("zp_manager_batch_execute", [&] {
    if (insideCallbackOf(manager)) return ZP_ERROR_WRONG_THREAD;
    // The handles are made before the downloads run, so that handing out cannot fail after.
    std::vector<std::unique_ptr<zp_response>> handed(count);
    for (auto& response : handed) response = std::make_unique<zp_response>();
    std::vector<ZPResponse> results = manager->manager.batchExecute(boundBatch(manager, *batch));
    for (size_t i = 0; i < count && i < results.size(); ++i) {
      handed[i]->response = std::move(results[i]);
    }
    for (size_t i = 0; i < count; ++i) responses[i] = handed[i].release();
    return ZP_OK;
  });
}

int zp_manager_cancel_all(zp_manager* manager) {
  if (manager == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_cancel_all", [&] {
    manager->manager.cancelAll();
    return ZP_OK;
  });
}

int zp_manager_cancel_by_request(zp_manager* manager, int32_t request_id) {
  if (manager == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_cancel_by_request", [&] {
    manager->manager.cancelByRequest(request_id);
    return ZP_OK;
  });
}

int zp_manager_cancel_by_url(zp_manager* manager, const char* url) {
  if (manager == nullptr || url == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_cancel_by_url", [&] {
    manager->manager.cancelByUrl(url);
    return ZP_OK;
  });
}

int zp_manager_set_max_bytes_per_second(zp_manager* manager, int64_t bytes_per_second) {
  if (manager == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_set_max_bytes_per_second", [&] {
    manager->manager.setMaxBytesPerSecond(bytes_per_second);
    return ZP_OK;
  });
}

int zp_manager_set_request_max_bytes_per_second(zp_manager* manager, int32_t request_id,
                                                int64_t bytes_per_second) {
  if (manager == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_set_request_max_bytes_per_second", [&] {
    return manager->manager.setRequestMaxBytesPerSecond(request_id, bytes_per_second)
               ? ZP_OK
               : ZP_ERROR_NOT_FOUND;
  });
}

int zp_manager_fetch_progress(zp_manager* manager, const char* url, int64_t* downloaded,
                              int64_t* total, int* found) {
  if (manager == nullptr || url == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_fetch_progress", [&] {
    // Read into locals: the counts are written only when something was found.
    int64_t storedBytes = 0;
    int64_t totalBytes = 0;
    const bool known = manager->manager.fetchProgress(url, &storedBytes, &totalBytes);
    if (known) {
      if (downloaded != nullptr) *downloaded = storedBytes;
      if (total != nullptr) *total = totalBytes;
    }
    if (found != nullptr) *found = known ? 1 : 0;
    return ZP_OK;
  });
}

int zp_manager_remove_all_cache(zp_manager* manager) {
  if (manager == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_remove_all_cache", [&] {
    manager->manager.removeAllCache();
    return ZP_OK;
  });
}

int zp_manager_remove_cache_by_request(zp_manager* manager, int32_t request_id) {
  if (manager == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_remove_cache_by_request", [&] {
    manager->manager.removeCacheByRequest(request_id);
    return ZP_OK;
  });
}

int zp_manager_remove_cache_by_url(zp_manager* manager, const char* url) {
  if (manager == nullptr || url == nullptr) return ZP_ERROR_NULL_ARGUMENT;
  return guarded("zp_manager_remove_cache_by_url", [&] {
    manager->manager.removeCacheByUrl(url);
    return ZP_OK;
  });
}

}  // extern "C"
