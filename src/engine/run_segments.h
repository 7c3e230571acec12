// RunSegments: a run's transfer as its worker sees it. Each request asks for a bounded segment of
// the run, about what its connection fetches in a segment's time at the rate measured so far
// (past its first burst) and four times what the last request asked for at most, from the first byte
// the run still needs; the next segment follows on the same worker (and
// connection) when that one ends. Received bytes are stored chunk by chunk along the run. A run
// is only ever cut past the segment its transfer has asked for (see firstUnrequestedChunk).
// Thread-safe: the workers call it, each for its own run; the planner's thread sets the pace.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "engine/content_digests.h"
#include "engine/planned_run.h"
#include "sinks/data_writer.h"

namespace zephyl {

class RunSegments {
 public:
  // notifyProgress is told after every stored block; digests (null: none) is fed every block.
  RunSegments(DataWriter& writer, ContentDigests* digests, std::function<void()> notifyProgress)
      : writer_(writer), digests_(digests), notifyProgress_(std::move(notifyProgress)) {}
  RunSegments(const RunSegments&) = delete;
  RunSegments& operator=(const RunSegments&) = delete;

  // The range of the run's next request: its next segment, from the first byte the run still
  // needs. Called on the worker before every request.
  std::string rangeOf(PlannedRun& run);
  // The run has bytes its transfer has not asked for yet: the worker asks for them next, on the
  // same connection. Called on the worker after a request ended well.
  bool hasMore(PlannedRun& run);
  // Stores received bytes along the run; false when the transfer must stop (the run is full, the
  // run's state then says rangeFilled; or the write failed). Called on the worker.
  bool storeBytes(PlannedRun& run, int32_t length, const uint8_t* data);
  // The first chunk of the run past every byte its transfer has asked for (lastChunkId + 1 when
  // it has asked for them all); never the chunk being filled.
  int32_t firstUnrequestedChunk(PlannedRun& run) REQUIRES(run.runMutex);

  // Set by the planner's thread: a segment's duration, and how many transfers the attempt wants
  // at once (beside others a segment leaves half of its run free).
  void setSegmentMs(int64_t ms) { segmentMs_.store(ms, std::memory_order_relaxed); }
  void setTransfersWanted(int count) { transfersWanted_.store(count, std::memory_order_relaxed); }

 private:
  // Moves the transfer to the next chunk of its run; false at the run's end.
  static bool advance(PlannedRun& run);
  // Bytes the run's next segment asks for: about a segment's time at its rate, one chunk before
  // its rate is known.
  int64_t segmentBytesOf(const PlannedRun& run, int64_t blockBytes) const;
  // The range of a request sent before the resource's length is known.
  std::string rangeBeforeLength(PlannedRun& run, const ChunkInfo& current)
      REQUIRES(run.runMutex);

  // Set at construction.
  DataWriter& writer_;
  ContentDigests* const digests_;
  const std::function<void()> notifyProgress_;
  // Written by the planner's thread, read by the workers.
  std::atomic<int64_t> segmentMs_{1000};
  std::atomic<int> transfersWanted_{1};
};

}  // namespace zephyl
