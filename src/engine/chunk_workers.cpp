#include "engine/chunk_workers.h"

#include <algorithm>
#include <utility>

namespace zephyl {

CurlMulti::~CurlMulti() {
  if (handle_ != nullptr) curl_multi_cleanup(handle_);
}

bool CurlMulti::open() {
  if (handle_ == nullptr) handle_ = curl_multi_init();
  return handle_ != nullptr;
}

ChunkWorkers::ChunkWorkers(int threadCount)
    : threads_(std::make_unique<ThreadPool>(std::max(1, threadCount),
                                            ThreadPool::Start::kOnDemand)) {}

ChunkWorkers::~ChunkWorkers() {
  // The workers end before the handles: a job still queued may borrow one.
  threads_.reset();
}

std::unique_ptr<TransferHandle> ChunkWorkers::borrowHandle() {
  {
    MutexLock lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<TransferHandle> handle = std::move(idle_.back());
      idle_.pop_back();
      return handle;
    }
  }
  return std::make_unique<TransferHandle>();
}

void ChunkWorkers::returnHandle(std::unique_ptr<TransferHandle> handle) {
  if (!handle) return;
  MutexLock lock(mutex_);
  try {
    idle_.push_back(std::move(handle));
  } catch (...) {
    // No room to keep it: the handle (still owned here) closes with its connections.
  }
}

}  // namespace zephyl
