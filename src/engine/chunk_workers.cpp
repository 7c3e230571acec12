#include "engine/chunk_workers.h"

#include <algorithm>

namespace zephyl {

ChunkWorkers::ChunkWorkers(int transferCount)
    : disk_(std::make_unique<ThreadPool>(std::max(1, transferCount),
                                         ThreadPool::Start::kOnDemand)),
      loop_(std::make_unique<TransferLoop>(std::max(1, transferCount))) {}

ChunkWorkers::~ChunkWorkers() {
  loop_.reset();
  disk_.reset();
}

}  // namespace zephyl
