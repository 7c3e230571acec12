#include "sinks/planned_data_writer.h"

#include "sinks/chunk_plan.h"
#include "zephyl/zp_response.h"

namespace zephyl {

PlannedDataWriter::PlannedDataWriter(int64_t blockSize)
    : blockSize_(effectiveBlockSize(blockSize)) {}

PlannedDataWriter::~PlannedDataWriter() = default;

ChunkInfo PlannedDataWriter::firstChunk() {
  MutexLock lock(mutex_);
  return firstChunkOf(chunks_, contentLength_.load(), blockSize_);
}

bool PlannedDataWriter::nextChunk(int afterChunkId, ChunkInfo* chunk) {
  MutexLock lock(mutex_);
  return nextChunkOf(chunks_, contentLength_.load(), blockSize_, afterChunkId, chunk);
}

ChunkInfo PlannedDataWriter::chunkAt(int chunkId) {
  MutexLock lock(mutex_);
  return chunkAtOf(chunks_, chunkId);
}

bool PlannedDataWriter::coverWholeResource(int chunkId) {
  MutexLock lock(mutex_);
  int64_t stored = 0;
  if (!coverWholeResourceOf(chunks_, contentLength_.load(), chunkId, &stored)) return false;
  downloadedLength_ = stored;
  return true;
}

int64_t PlannedDataWriter::contentLength() { return contentLength_.load(); }

int64_t PlannedDataWriter::downloadedLength() { return downloadedLength_.load(); }

Status PlannedDataWriter::checkKnownLengthLocked(int64_t length, bool lengthTaken) {
  const int64_t old = contentLength_.load();
  if ((old != 0 || lengthTaken) && old != length) {
    return Status::error(ZPResponse::CACHE_ERROR, contentLengthErrorMessage(length, old));
  }
  // The chunks are planned as the download reaches them; here only the size of the plan counts.
  if (!planFits(chunks_, length, blockSize_)) {
    return Status::error(ZPResponse::CACHE_ERROR, kTooManyChunksMessage);
  }
  return Status::ok();
}

bool PlannedDataWriter::isPlannedLocked(int chunkId) {
  return chunkId >= 0 && static_cast<size_t>(chunkId) < chunks_.size();
}

}  // namespace zephyl
