// What the C interface's opaque handles hold, and the guard every C function runs its body in.
// A handle wraps the C++ record it stands for; the callbacks of requests and batches are kept as
// C function pointers and bound to std::function trampolines only when a manager receives them,
// so that the trampolines know which manager runs them. Used by src/capi only.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/log.h"
#include "zephyl/zephyl.h"
#include "zephyl/zephyl_c.h"

struct zp_setting {
  ZPSetting setting;
};

struct zp_request {
  ZPRequest request;
  zp_start_callback onStart = nullptr;
  zp_progress_callback onProgress = nullptr;
  zp_complete_callback onComplete = nullptr;
  void* user = nullptr;
  zp_data_callback onData = nullptr;  // with its own user pointer
  void* dataUser = nullptr;
};

struct zp_batch {
  std::vector<zp_request> requests;
  zp_batch_start_callback onStart = nullptr;
  zp_batch_progress_callback onProgress = nullptr;
  zp_batch_request_complete_callback onRequestComplete = nullptr;
  zp_batch_complete_callback onBatchComplete = nullptr;
  void* user = nullptr;
};

struct zp_response {
  ZPResponse response;
};

struct zp_manager {
  explicit zp_manager(const ZPSetting& setting) : manager(setting) {}

  // Threads inside a callback of this manager, with how deep: freeing the manager or waiting for
  // a batch there would wait for the very thread that waits. Declared before the manager: its
  // destructor runs queued requests, whose callbacks still count here.
  zephyl::Mutex callbackMutex;
  std::unordered_map<std::thread::id, int> callbackDepth GUARDED_BY(callbackMutex);

  Zephyl manager;
};

namespace zephyl::capi {

// Marks the calling thread as inside a callback of manager for its lifetime.
class InCallback {
 public:
  explicit InCallback(zp_manager* manager);
  ~InCallback();
  InCallback(const InCallback&) = delete;
  InCallback& operator=(const InCallback&) = delete;

 private:
  zp_manager* manager_;
};

// True while the calling thread runs a callback of manager.
bool insideCallbackOf(zp_manager* manager);

// Runs body (returning a status) and turns whatever it throws into a status: no exception leaves
// the C interface. name is the C function's, for the log.
template <typename Body>
int guarded(const char* name, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ZP_ERROR_OUT_OF_MEMORY;
  } catch (const std::exception& error) {
    ZP_LOG(Error) << name << " failed: " << error.what();
  } catch (...) {
    ZP_LOG(Error) << name << " failed";
  }
  return ZP_ERROR_INTERNAL;
}

}  // namespace zephyl::capi
