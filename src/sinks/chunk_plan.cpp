#include "sinks/chunk_plan.h"

#include <algorithm>
#include <new>

namespace zephyl {

int64_t effectiveBlockSize(int64_t blockSize) {
  return blockSize > 0 ? blockSize : kDefaultBlockSize;
}

bool planChunks(std::vector<ChunkInfo>& chunks, int64_t contentLength, int64_t blockSize) {
  int64_t pos = chunks.empty() ? 0 : chunks.back().end;
  if (pos < contentLength) {
    // Counted before anything is appended, so that a refused plan leaves chunks as it was.
    const int64_t remaining = contentLength - pos;
    const int64_t added = remaining / blockSize + (remaining % blockSize != 0 ? 1 : 0);
    if (added > kMaxChunkCount - static_cast<int64_t>(chunks.size())) return false;
    try {
      chunks.reserve(chunks.size() + static_cast<size_t>(added));
    } catch (const std::bad_alloc&) {
      return false;
    }
    while (pos < contentLength) {
      // Compared as a difference: pos + blockSize may not fit in 64 bits near the top.
      const int64_t end = contentLength - pos > blockSize ? pos + blockSize : contentLength;
      ChunkInfo chunk;
      chunk.start = pos;
      chunk.current = pos;
      chunk.end = end;
      chunks.push_back(chunk);
      pos = end;
    }
  }
  renumberChunks(chunks);
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
  if (chunks.empty()) {
    ChunkInfo first;
    first.end = blockSize;
    chunks.push_back(first);
    return first;
  }
  for (const ChunkInfo& chunk : chunks) {
    if (!isChunkFinished(chunk, contentLength)) return chunk;
  }
  return ChunkInfo{};
}

std::vector<ChunkInfo> unfinishedChunksOf(const std::vector<ChunkInfo>& chunks,
                                          int64_t contentLength, int excludeChunkId) {
  std::vector<ChunkInfo> result;
  if (contentLength == 0) return result;
  for (const ChunkInfo& chunk : chunks) {
    if (chunk.chunkId != excludeChunkId && !isChunkFinished(chunk, contentLength)) {
      result.push_back(chunk);
    }
  }
  return result;
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

void reportWriterFailure(int code, const std::string& message, int* errorCode,
                         std::string* errorMsg) {
  if (errorCode != nullptr) *errorCode = code;
  if (errorMsg != nullptr && !message.empty()) *errorMsg = message;
}

}  // namespace zephyl
