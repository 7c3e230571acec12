#include "sinks/chunk_plan.h"

#include <algorithm>

namespace zephyl {

int64_t effectiveBlockSize(int64_t blockSize) {
  return blockSize > 0 ? blockSize : kDefaultBlockSize;
}

bool planFits(const std::vector<ChunkInfo>& chunks, int64_t contentLength, int64_t blockSize) {
  const int64_t pos = chunks.empty() ? 0 : chunks.back().end;
  if (pos >= contentLength) return true;
  const int64_t remaining = contentLength - pos;
  const int64_t added = remaining / blockSize + (remaining % blockSize != 0 ? 1 : 0);
  return added <= kMaxChunkCount - static_cast<int64_t>(chunks.size());
}

bool nextChunkOf(std::vector<ChunkInfo>& chunks, int64_t contentLength, int64_t blockSize,
                 int afterChunkId, ChunkInfo* out) {
  if (contentLength == 0) return false;
  const size_t from = afterChunkId < 0 ? 0 : static_cast<size_t>(afterChunkId) + 1;
  for (size_t i = from; i < chunks.size(); ++i) {
    if (!isChunkFinished(chunks[i], contentLength)) {
      *out = chunks[i];
      return true;
    }
  }
  const int64_t pos = chunks.empty() ? 0 : chunks.back().end;
  if (contentLength < 0 || pos >= contentLength) return false;
  if (static_cast<int64_t>(chunks.size()) >= kMaxChunkCount) return false;
  ChunkInfo chunk;
  chunk.chunkId = static_cast<int32_t>(chunks.size());
  chunk.start = pos;
  chunk.current = pos;
  // Compared as a difference: pos + blockSize may not fit in 64 bits near the top.
  chunk.end = contentLength - pos > blockSize ? pos + blockSize : contentLength;
  chunks.push_back(chunk);
  *out = chunk;
  return true;
}

void renumberChunks(std::vector<ChunkInfo>& chunks) {
  for (size_t i = 0; i < chunks.size(); ++i) chunks[i].chunkId = static_cast<int32_t>(i);
}

int64_t chunkLimit(const ChunkInfo& chunk, int64_t contentLength) {
  return contentLength > 0 ? std::min(chunk.end, contentLength) : chunk.end;
}

bool isChunkFinished(const ChunkInfo& chunk, int64_t contentLength) {
  return chunk.current >= chunkLimit(chunk, contentLength);
}

bool isPlanComplete(const std::vector<ChunkInfo>& chunks, int64_t contentLength) {
  if (contentLength <= 0) return false;
  int64_t covered = 0;
  for (const ChunkInfo& chunk : chunks) {
    if (chunk.start > covered || !isChunkFinished(chunk, contentLength)) return false;
    covered = std::max(covered, chunk.current);
  }
  return covered >= contentLength;
}

std::string contentLengthErrorMessage(int64_t newLength, int64_t oldLength) {
  return "contentLength error: " + std::to_string(newLength) + " " + std::to_string(oldLength);
}

ChunkInfo firstChunkOf(std::vector<ChunkInfo>& chunks, int64_t contentLength, int64_t blockSize) {
  if (chunks.empty() && contentLength <= 0) {
    ChunkInfo first;
    first.end = blockSize;
    chunks.push_back(first);
    return first;
  }
  ChunkInfo next;
  if (nextChunkOf(chunks, contentLength, blockSize, -1, &next)) return next;
  // Length unknown: nextChunkOf plans nothing, but a planned chunk may still be unfinished.
  for (const ChunkInfo& chunk : chunks) {
    if (!isChunkFinished(chunk, contentLength)) return chunk;
  }
  return ChunkInfo{};
}

ChunkInfo chunkAtOf(const std::vector<ChunkInfo>& chunks, int index) {
  if (index < 0 || static_cast<size_t>(index) >= chunks.size()) return ChunkInfo{};
  return chunks[static_cast<size_t>(index)];
}

bool startOpenEndedPlan(std::vector<ChunkInfo>& chunks) {
  if (chunks.size() > 1 ||
      (chunks.size() == 1 && (chunks[0].start != 0 || chunks[0].current != 0))) {
    return false;
  }
  ChunkInfo whole;
  whole.end = kOpenEnd;
  chunks.assign(1, whole);
  return true;
}

bool coverWholeResourceOf(std::vector<ChunkInfo>& chunks, int64_t contentLength, int chunkId,
                          int64_t* stored) {
  if (contentLength <= 0 || chunkId < 0 || static_cast<size_t>(chunkId) >= chunks.size()) {
    return false;
  }
  ChunkInfo whole = chunks[static_cast<size_t>(chunkId)];
  if (whole.start != 0) return false;
  whole.chunkId = 0;
  whole.end = contentLength;
  whole.current = std::min(whole.current, contentLength);
  chunks.assign(1, whole);
  *stored = whole.current;
  return true;
}

Status noRoomFailure(int64_t length, const Status& cause) {
  return Status::error(
      cause.code(),
      "no room on the storage disk for " + std::to_string(length) + " bytes: " + cause.message(),
      cause.systemCode());
}

}  // namespace zephyl
