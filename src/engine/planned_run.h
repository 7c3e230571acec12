// PlannedRun: one transfer of a download attempt. A run is a range of adjacent chunks of the
// writer's plan, fetched in bounded segments over one connection by one worker. The record holds
// the run's bounds and, per job of the planner, what that job keeps on it: the verdict on its
// answers and the pace of its transfer. Shared by the planner's thread and the run's worker as
// each field says; owned by the planner, which keeps it at its address until the worker is done.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "diagnostics/annotated_mutex.h"
#include "engine/chunk_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

// The planner's verdict on the run's answers. Set on the run's worker before the run is done;
// read by the planner's thread after it.
struct RunVerdict {
  bool rejected = false;       // the planner refused the answer; rejection tells why
  bool discard = false;        // the refusal proves the stored bytes wrong
  bool emptyResource = false;  // a 416 to the first range that says the resource is empty
  ZPResponse rejection;
};

// How fast the run's transfer goes: what segment sizes, splitting and stealing are judged by.
struct RunPace {
  // Touched only by the planner's thread: when the transfer was handed its run and the offset
  // its range started at.
  int64_t submittedAtMs = 0;
  int64_t submittedFrom = 0;
  // When the transfer's first answer was accepted and the offset it started at, to tell how
  // fast the transfer goes over all its segments: the wait for the first answer says how far
  // the server is, not how fast the connection is. Written on the run's worker (answeredFrom
  // first), read by the planner; answeredAtMs is 0 before the first answer.
  std::atomic<int64_t> answeredAtMs{0};
  std::atomic<int64_t> answeredFrom{0};
  // Touched only by the planner's thread, for the split's rate window: the splits made before
  // the transfer was added, whether it is measured in the current window, and where its bytes
  // stood when that window opened.
  int bornAtSplit = 0;
  bool inWindow = false;
  int64_t windowFrom = 0;
  // When the transfer was past its first burst (what a server sends at once before its limit
  // holds, or a connection's slow start; see RunRates::track), and the offset it had reached
  // then: its rate counts from there. Written by the planner's thread (steadyFrom first), read
  // by the planner and the run's worker; steadyAtMs is 0 before.
  std::atomic<int64_t> steadyAtMs{0};
  std::atomic<int64_t> steadyFrom{0};
  // Touched only by the planner's thread: the transfer's bytes at its last look (-1: none yet),
  // when they last moved, and the longest pause between two moves since it was steady. A rate
  // is told only over several such pauses: a server that sends in steps every so often would
  // otherwise look fast or stopped by chance.
  int64_t seenBytes = -1;
  int64_t movedAtMs = 0;
  int64_t longestPauseMs = 0;
  // Set by the planner's thread when the transfer is far slower than the fastest one: it ends
  // after its current segment, and the rest of its run goes out again on another connection.
  // mayLeave is false for such a rest, so that answers that are all slow at first are not
  // asked for again and again.
  std::atomic<bool> leaveRest{false};
  bool mayLeave = true;
};

struct PlannedRun {
  PlannedRun() = default;
  PlannedRun(const PlannedRun&) = delete;
  PlannedRun& operator=(const PlannedRun&) = delete;

  // The run's last chunk, read under runMutex.
  int32_t lastChunk() EXCLUDES(runMutex) {
    MutexLock lock(runMutex);
    return lastChunkId;
  }

  ChunkRequest request;
  ChunkState state;
  // The run: the chunk of the writer's plan the bytes go to now, up to lastChunkId. The
  // transfer's worker moves writerChunkId on as chunks fill; the planner's thread may shorten
  // the run (never below the chunk after writerChunkId) to hand its end to an idle worker. The
  // first run also changes both when it takes the whole download over.
  Mutex runMutex;
  std::atomic<int32_t> writerChunkId{0};  // written under runMutex, read anywhere
  int32_t lastChunkId GUARDED_BY(runMutex) = 0;
  // One past the last byte the transfer's current request asks for (INT64_MAX for an open
  // range): the run is never cut before it. Set on the worker, read by the planner.
  int64_t requestedUpTo GUARDED_BY(runMutex) = 0;
  // The bytes the transfer's last request asked for (0 before its first): the next one asks
  // for twice as many at most. Set on the worker.
  int64_t lastSegmentBytes GUARDED_BY(runMutex) = 0;
  // Set before the first submission, read on the worker: the request goes out before the
  // resource's length is known, so its first segment is asked by size from its first byte
  // rather than by the run (the run grows into those bytes once the length is known).
  bool beforeLength = false;
  // Set before the first submission, read on the worker: the run only asks the server whether
  // the complete stored download is still its resource. While every byte is stored its request
  // asks for the first byte alone, with the stored validator; an answer that takes the download
  // over (the new resource, whole) then fills the plan as any first run would.
  bool confirmsStored = false;
  // Set before the run is submitted: its place in the attempt's RunCompletions.
  size_t serial = 0;
  RunVerdict verdict;
  RunPace pace;
};

// The runs of an attempt submitted and not yet collected. unique_ptr keeps every record at its
// address while a worker uses it.
using RunList = std::list<std::unique_ptr<PlannedRun>>;

}  // namespace zephyl
