// RunClaims: which chunks of the writer's plan the attempt's runs take. A run is as many
// adjacent, unstarted chunks as make an even share of what is left for the workers without a
// run (at most a cap, which bounds the chunks planned ahead of the bytes whatever length a server
// claims); the first run grows into its share once the length is known. Runs whose transfers
// ended before their runs did leave their rests here to go out again. One thread, the planner's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/planned_run.h"
#include "sinks/data_writer.h"

namespace zephyl {

class RunClaims {
 public:
  explicit RunClaims(DataWriter& writer) : writer_(writer) {}
  RunClaims(const RunClaims&) = delete;
  RunClaims& operator=(const RunClaims&) = delete;

  // Chunks up to this one are claimed (the first run's own, or handed out).
  void claimedUpTo(int32_t chunkId) { afterChunkId_ = chunkId; }
  // The next chunk of the plan nobody has claimed (the one a run left over first); false when
  // none is left.
  bool claimNext(ChunkInfo* chunk);
  // The last chunk of a run that starts with head: as many adjacent, unstarted chunks as make an
  // even share of what is left for freeWorkers (this one included). The chunk the first run
  // fills (firstRunChunk, moved on by its worker) is never part of another run.
  int32_t claimRun(const ChunkInfo& head, int64_t freeWorkers,
                   const std::atomic<int32_t>& firstRunChunk);
  // Lengthens the first run by the adjacent, unstarted chunks after it, up to an even share of
  // the whole resource for the transfers wanted. Requires: the length is known and no other run
  // of the attempt has been handed out.
  void growFirstRun(PlannedRun& first, int wanted);

  // Keeps the unfinished rest of a run whose transfer ended well, to go out again; only after
  // progress, as a transfer that ended well without a byte would be asked again and again (its
  // run stays short and the attempt ends incomplete instead).
  void keepRest(PlannedRun& run);
  bool hasRests() const { return !rests_.empty(); }
  // The last rest kept (first and last chunk); requires hasRests().
  std::pair<int32_t, int32_t> takeRest();

 private:
  // Chunks in a run: what is left from offset on, in chunks of block bytes, shared evenly by
  // workers, and at most the run cap.
  int64_t shareOf(int64_t offset, int64_t block, int64_t workers) const;

  // Set at construction.
  DataWriter& writer_;
  // Touched only by the planner's thread.
  int32_t afterChunkId_ = 0;
  std::unique_ptr<ChunkInfo> carried_;  // claimed from the writer but not fitting the last run
  // Runs (first and last chunk) that lost their transfer before they were finished.
  std::vector<std::pair<int32_t, int32_t>> rests_;
};

}  // namespace zephyl
