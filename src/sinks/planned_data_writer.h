// PlannedDataWriter: what the sinks that split a resource into a chunk plan (memory, stream and
// chunked file) share: the plan itself, grown as the download reaches it (chunk_plan.h), the
// content length, the count of stored bytes, and the plan operations of DataWriter, which read
// and change only those. Thread-safe: the plan is guarded by mutex_, which the derived writers
// also take for their own state; contentLength and downloadedLength may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/status.h"
#include "sinks/data_writer.h"
#include "storage/chunk_info.h"

namespace zephyl {

class PlannedDataWriter : public DataWriter {
 public:
  ChunkInfo firstChunk() final;
  bool nextChunk(int afterChunkId, ChunkInfo* chunk) final;
  ChunkInfo chunkAt(int chunkId) final;
  bool coverWholeResource(int chunkId) final;
  int64_t contentLength() final;
  int64_t downloadedLength() final;

 protected:
  // blockSize <= 0 plans with the default block size.
  explicit PlannedDataWriter(int64_t blockSize);
  ~PlannedDataWriter() override;
  PlannedDataWriter(const PlannedDataWriter&) = delete;
  PlannedDataWriter& operator=(const PlannedDataWriter&) = delete;

  // Requires: mutex_ held. A known length arrives: CACHE_ERROR when another one is known already
  // (lengthTaken: a length, 0 included, was accepted before) or when the plan would need too many
  // chunks; ok when the length may be taken (nothing is changed here).
  Status checkKnownLengthLocked(int64_t length, bool lengthTaken) REQUIRES(mutex_);
  // Requires: mutex_ held. True when chunkId names a chunk of the plan.
  bool isPlannedLocked(int chunkId) REQUIRES(mutex_);

  // Set at construction.
  const int64_t blockSize_;

  // Atomic: written under mutex_, read by progress listeners on any thread.
  std::atomic<int64_t> downloadedLength_{0};
  std::atomic<int64_t> contentLength_{0};  // 0: not known yet; -1: the server states none

  // Taken by every plan operation and by the derived writers for their own state.
  Mutex mutex_;
  std::vector<ChunkInfo> chunks_ GUARDED_BY(mutex_);  // the plan, in offset order, id = index
};

}  // namespace zephyl
