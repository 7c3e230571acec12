// MemoryDataWriter: the sink of OUTPUT_MEMORY downloads. Keeps the whole resource in one byte
// buffer of the announced length, shared with the response that delivers it. Thread-safe: write,
// setContentLength, coverWholeResource, chunkAt and unfinishedChunks may run on several chunk
// workers at once (one mutex); contentLength and downloadedLength may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "sinks/data_writer.h"

namespace zephyl {

class MemoryDataWriter : public DataWriter {
 public:
  // blockSize <= 0 plans with the default block size.
  MemoryDataWriter(std::string fileKey, int64_t blockSize);
  ~MemoryDataWriter() override;
  MemoryDataWriter(const MemoryDataWriter&) = delete;
  MemoryDataWriter& operator=(const MemoryDataWriter&) = delete;

  // Always true; nothing to prepare.
  bool open(int* errorCode, std::string* errorMsg) override;
  // Nothing to release: the buffer lives on in the responses that share it.
  void close() override;
  // Hands the buffer (shared, not copied) and the length to response. False with CACHE_ERROR
  // when a known length has not been stored completely.
  bool moveToSaveDir(const ZPRequest& request, ZPResponse* response, int* errorCode,
                     std::string* errorMsg) override;
  // Forgets the plan, the buffer, the content length and the validator, so that a resource that
  // changed between attempts starts over.
  void reset() override;
  // Copies from the buffer. False past its end.
  bool readStored(int64_t offset, void* buffer, size_t size) override;
  // As reset: the buffer goes with its last holder.
  void discardStored() override;

  // Before the length is known: creates the chunk [0, blockSize). Afterwards: the first
  // unfinished chunk, or a default ChunkInfo when everything is stored.
  ChunkInfo firstChunk() override;
  // The next unfinished chunk after afterChunkId, planned as reached; false while the length is
  // unknown or when none is left.
  bool nextChunk(int afterChunkId, ChunkInfo* chunk) override;
  // A copy of chunks[index]; a default ChunkInfo for an index outside the plan.
  ChunkInfo chunkAt(int index) override;

  // Allocates the zeroed buffer of length bytes (an empty one for 0). False with CACHE_ERROR when
  // the length differs from the one already known ("contentLength error: <new> <old>"), needs
  // too many chunks, or is more than the machine can hold (refused before any allocation);
  // nothing changes then. A negative length starts the one open-ended chunk of a fresh plan.
  bool setContentLength(int64_t length, int* errorCode, std::string* errorMsg) override;
  // The plan becomes the single chunk [0, contentLength) that chunkId (starting at 0) owns.
  bool coverWholeResource(int chunkId) override;
  // Copies the bytes at the chunk's current offset. False with EXECUTE_ERROR, storing nothing,
  // before the buffer exists, for an index outside the plan, or when the bytes would run past
  // the chunk's end or the buffer. No allocation on success.
  bool write(int chunkIndex, int size, unsigned char* data, int* errorCode,
             std::string* errorMsg) override;

  bool lengthConflicts(int64_t length) override;
  std::string validator() override;
  void setValidator(const std::string& validator) override;

  int64_t contentLength() override;
  int64_t downloadedLength() override;

  // The request's file key; kept for diagnostics, a memory download stores nothing under it.
  const std::string& fileKey() const { return fileKey_; }

 private:
  // Requires: mutex_ held and the length unknown. Appends to the growing buffer.
  bool appendUnknownLength(ChunkInfo& chunk, int size, const unsigned char* data, int* errorCode,
                           std::string* errorMsg) REQUIRES(mutex_);
  // Set at construction.
  const std::string fileKey_;
  const int64_t blockSize_;

  // Atomic: written under mutex_, read by progress listeners on any thread.
  std::atomic<int64_t> downloadedLength_{0};
  std::atomic<int64_t> contentLength_{0};  // 0: not reported yet

  Mutex mutex_;
  // Guarded by mutex_.
  // null until the length is known
  std::shared_ptr<std::vector<unsigned char>> data_ GUARDED_BY(mutex_);
  std::vector<ChunkInfo> chunks_ GUARDED_BY(mutex_);
  std::string validator_ GUARDED_BY(mutex_);
};

}  // namespace zephyl
