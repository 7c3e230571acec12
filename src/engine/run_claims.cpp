#include "engine/run_claims.h"

#include <algorithm>

#include "sinks/chunk_plan.h"

namespace zephyl {
namespace {

// The most chunks one run holds: a bound on the chunks planned ahead of the bytes.
constexpr int64_t kMaxRunChunks = 256;

}  // namespace

bool RunClaims::claimNext(ChunkInfo* chunk) {
  if (carried_ != nullptr) {
    *chunk = *carried_;
    carried_.reset();
    return true;
  }
  if (!writer_.nextChunk(afterChunkId_, chunk)) return false;
  afterChunkId_ = chunk->chunkId;
  return true;
}

int64_t RunClaims::shareOf(int64_t offset, int64_t block, int64_t workers) const {
  // The cap bounds the chunks planned ahead of the bytes (and so the plan's memory) whatever
  // length a server claims.
  const int64_t left = std::max<int64_t>(block, writer_.contentLength() - offset);
  const int64_t chunksLeft = (left - 1) / block + 1;
  return std::clamp<int64_t>((chunksLeft - 1) / std::max<int64_t>(1, workers) + 1, 1,
                             kMaxRunChunks);
}

void RunClaims::growFirstRun(PlannedRun& first, int wanted) {
  int32_t last = first.lastChunk();
  const ChunkInfo head = writer_.chunkAt(first.writerChunkId.load());
  const int64_t block = std::max<int64_t>(1, head.end - head.start);
  // Each transfer wanted at the start gets an even share of the whole resource (one transfer:
  // all of it, up to the run cap); the first run's end is where the next one's run begins.
  const int64_t share = shareOf(head.start, block, wanted);
  int64_t end = writer_.chunkAt(last).end;
  for (int64_t count = last - first.writerChunkId.load() + 1; count < share; ++count) {
    ChunkInfo next;
    if (!writer_.nextChunk(last, &next)) break;
    // As in claimRun: one range of chunks that hold nothing yet.
    if (next.chunkId != last + 1 || next.start != end || next.current != next.start) break;
    last = next.chunkId;
    end = next.end;
  }
  MutexLock lock(first.runMutex);
  first.lastChunkId = last;
}

int32_t RunClaims::claimRun(const ChunkInfo& head, int64_t freeWorkers,
                            const std::atomic<int32_t>& firstRunChunk) {
  // An even share: what is left from head on, in chunks of head's size, over the workers that
  // have no run yet. Workers that finish early take over the ends of the runs still going.
  const int64_t block = std::max<int64_t>(1, head.end - head.start);
  const int64_t share = shareOf(head.start, block, freeWorkers);
  int32_t last = head.chunkId;
  int64_t end = head.end;
  for (int64_t count = 1; count < share; ++count) {
    ChunkInfo next;
    if (!claimNext(&next)) break;
    // A run is one range: the next chunk must follow without a gap and hold nothing yet (a
    // resume skips the bytes stored), and the first run's chunk is never part of another run.
    if (next.chunkId != last + 1 || next.start != end || next.current != next.start ||
        next.chunkId == firstRunChunk.load()) {
      carried_ = std::make_unique<ChunkInfo>(next);
      break;
    }
    last = next.chunkId;
    end = next.end;
  }
  return last;
}

void RunClaims::keepRest(PlannedRun& run) {
  MutexLock lock(run.runMutex);
  const int64_t length = writer_.contentLength();
  int32_t head = run.writerChunkId.load();
  while (head <= run.lastChunkId && isChunkFinished(writer_.chunkAt(head), length)) ++head;
  const bool progressed =
      head > run.lastChunkId || writer_.chunkAt(head).current > run.pace.submittedFrom;
  if (length > 0 && head <= run.lastChunkId && progressed) rests_.emplace_back(head, run.lastChunkId);
}

std::pair<int32_t, int32_t> RunClaims::takeRest() {
  const auto rest = rests_.back();
  rests_.pop_back();
  return rest;
}

}  // namespace zephyl
