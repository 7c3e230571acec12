// MemoryDataWriter: the sink of OUTPUT_MEMORY downloads. Keeps the whole resource in one byte
// buffer of the announced length, shared with the response that delivers it. Thread-safe: write,
// setContentLength, coverWholeResource, chunkAt and unfinishedChunks may run on several chunk
// workers at once (one mutex); contentLength and downloadedLength may be read from any thread.
// The DataWriter contract is in data_writer.h; the notes below say only what this sink adds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "sinks/planned_data_writer.h"

namespace zephyl {

class MemoryDataWriter : public PlannedDataWriter {
 public:
  // blockSize <= 0 plans with the default block size.
  MemoryDataWriter(std::string fileKey, int64_t blockSize);
  ~MemoryDataWriter() override;
  MemoryDataWriter(const MemoryDataWriter&) = delete;
  MemoryDataWriter& operator=(const MemoryDataWriter&) = delete;

  Status open() override;  // always ok: nothing to prepare
  // Nothing to release: the buffer lives on in the responses that share it.
  void close() override;
  // Hands the buffer over shared, not copied.
  Status moveToSaveDir(const ZPRequest& request, ZPResponse* response) override;
  // Both forget the plan, the buffer, the length and the validator.
  void reset() override;
  void discardStored() override;
  bool readStored(int64_t offset, void* buffer, size_t size) override;  // from the buffer
  bool lengthConflicts(int64_t length) override;
  // Allocates the zeroed buffer (an empty one for 0); a length more than the machine can hold
  // fails with CACHE_ERROR before any allocation. A negative length starts the one open-ended
  // chunk of a fresh plan, whose buffer grows with the body.
  Status setContentLength(int64_t length) override;
  Status write(int chunkId, int size, unsigned char* data) override;
  std::string validator() override;
  void setValidator(const std::string& validator) override;

  // The request's file key; kept for diagnostics, a memory download stores nothing under it.
  const std::string& fileKey() const { return fileKey_; }

 private:
  // Requires: mutex_ held and the length unknown. Appends to the growing buffer.
  Status appendUnknownLength(ChunkInfo& chunk, int size, const unsigned char* data)
      REQUIRES(mutex_);
  // Set at construction.
  const std::string fileKey_;

  // Guarded by mutex_ (PlannedDataWriter's).
  // null until the length is known
  std::shared_ptr<std::vector<unsigned char>> data_ GUARDED_BY(mutex_);
  std::string validator_ GUARDED_BY(mutex_);
};

}  // namespace zephyl
