// ChunkWorkers: what chunk transfers run on, shared by the downloads of one manager (or owned by
// one download): a pool of worker threads, and the libcurl handles a transfer borrows for one
// attempt. A handle's multi handle keeps the connections it opened, so the next transfer that
// borrows it, for any download, finds them open: handles are lent most recently returned first,
// and an attempt returns its handle before its chunk is told finished, so a download that
// follows another gets the handle (and connection) that one just used. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <curl/curl.h>

#include "diagnostics/annotated_mutex.h"
#include "engine/curl_easy.h"
#include "engine/thread_pool.h"

namespace zephyl {

// The owner of one libcurl multi handle. One thread at a time.
class CurlMulti {
 public:
  CurlMulti() = default;
  ~CurlMulti();
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  // Requires: libcurl initialised (an easy handle was opened). False when libcurl has no memory.
  [[nodiscard]] bool open();
  CURLM* get() const { return handle_; }

 private:
  CURLM* handle_ = nullptr;  // owned
};

// What one attempt uses: an easy handle (options reset after each attempt), the multi handle it
// runs in (which keeps the connections), and a buffer for the body bytes.
struct TransferHandle {
  CurlEasy easy;
  CurlMulti multi;
  std::vector<uint8_t> batch;
};

class ChunkWorkers {
 public:
  // Up to threadCount worker threads (at least one), started as jobs need them.
  explicit ChunkWorkers(int threadCount);
  // Joins the workers after they ran every queued job; closes the idle handles' connections.
  ~ChunkWorkers();
  ChunkWorkers(const ChunkWorkers&) = delete;
  ChunkWorkers& operator=(const ChunkWorkers&) = delete;

  ThreadPool& threads() { return *threads_; }

  // The handle returned last, or a new (unopened) one when none is idle. Never null; throws
  // std::bad_alloc when memory runs out.
  std::unique_ptr<TransferHandle> borrowHandle() EXCLUDES(mutex_);
  // Makes the handle available again; null is ignored. Never throws: a handle that cannot be
  // kept is closed.
  void returnHandle(std::unique_ptr<TransferHandle> handle) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  // Guarded by mutex_. Idle handles, the most recently returned last.
  std::vector<std::unique_ptr<TransferHandle>> idle_ GUARDED_BY(mutex_);
  // Last member: destroyed first, so that no worker still uses a handle when they go.
  std::unique_ptr<ThreadPool> threads_;
};

}  // namespace zephyl
