#include "engine/run_segments.h"

#include <algorithm>
#include <limits>

#include "sinks/chunk_plan.h"
#include "diagnostics/utilities.h"

namespace zephyl {
namespace {

// A segment's rate is told over this long at least (see segmentBytesOf).
constexpr int64_t kMinSegmentSampleMs = 20;
// A stream's first request asks for this much at most: its receiver may want only the first
// bytes (a pipe into head, a comparison with a file's end), and whatever the request asked for
// is sent by the server once it is asked. The next segment follows on the same connection.
constexpr int64_t kFirstStreamRequestBytes = 64 * 1024;
// A segment asks for this many times what the transfer's last one did at most.
constexpr int64_t kSegmentGrowth = 4;

}  // namespace

int64_t RunSegments::segmentBytesOf(const PlannedRun& run, int64_t blockBytes) const {
  const int64_t least = std::max<int64_t>(1, blockBytes);
  // Until a transfer has a rate of its own it asks for one chunk: a connection may be far slower
  // than the others, and what it asked for could not be handed to a faster one.
  int64_t since = run.pace.answeredAtMs.load(std::memory_order_acquire);
  if (since == 0) return least;
  int64_t from = run.pace.answeredFrom.load(std::memory_order_relaxed);
  // Past the transfer's first burst its rate counts from there (see RunRates); before, the
  // burst's rate is all there is, and the growth cap in rangeOf keeps what it asks for small.
  const int64_t steadyAt = run.pace.steadyAtMs.load(std::memory_order_acquire);
  if (steadyAt != 0) {
    since = steadyAt;
    from = run.pace.steadyFrom.load(std::memory_order_relaxed);
  }
  const int64_t received =
      std::max<int64_t>(0, run.state.receivedUpTo.load(std::memory_order_relaxed) - from);
  // Bytes that came within a few milliseconds (or in one burst from the socket's buffers) tell
  // a rate poorly: they count as taking that long at least, which can only make a link look
  // slower than it is.
  const int64_t elapsed = std::max(kMinSegmentSampleMs, nowMs() - since);
  const double rate = static_cast<double>(received) / static_cast<double>(elapsed);
  const double wanted = rate * static_cast<double>(segmentMs_.load(std::memory_order_relaxed));
  if (wanted >= static_cast<double>(std::numeric_limits<int64_t>::max() / 2)) {
    return std::numeric_limits<int64_t>::max() / 2;
  }
  return std::max(least, static_cast<int64_t>(wanted));
}

std::string RunSegments::rangeBeforeLength(PlannedRun& run, const ChunkInfo& current) {
  // A writer that plans the resource in blocks gets a first segment of whole blocks; one that
  // keeps it as one open chunk asks for everything, as it could never hand a part of it to
  // another transfer.
  const std::string start = std::to_string(current.current) + "-";
  const int64_t blockBytes = current.end - current.start;
  if (!run.beforeLength || blockBytes <= 0 || blockBytes >= kOpenEnd / 4) {
    run.requestedUpTo = std::numeric_limits<int64_t>::max();
    return start;
  }
  run.requestedUpTo = current.end;
  if (writer_.streams()) {
    run.requestedUpTo = std::min(current.end, current.current + kFirstStreamRequestBytes);
  }
  run.lastSegmentBytes = blockBytes;
  return start + std::to_string(run.requestedUpTo - 1);
}

std::string RunSegments::rangeOf(PlannedRun& run) {
  const int64_t length = writer_.contentLength();
  MutexLock lock(run.runMutex);
  // A chunk of the run that is full already (the last request ended right at its end) is passed
  // over: the range starts at the first byte the run still needs.
  ChunkInfo current = writer_.chunkAt(run.writerChunkId.load());
  while (current.current >= current.end && run.writerChunkId.load() < run.lastChunkId) {
    run.writerChunkId = run.writerChunkId.load() + 1;
    current = writer_.chunkAt(run.writerChunkId.load());
  }
  if (length <= 0) return rangeBeforeLength(run, current);
  if (run.confirmsStored && writer_.downloadedLength() >= length) {
    run.requestedUpTo = 1;
    return "0-0";
  }
  const int64_t from = current.current;
  const std::string start = std::to_string(from) + "-";
  const int64_t blockBytes = current.end - current.start;
  // The segment ends with the chunk that holds its last byte, or with the run. Beside other
  // transfers it asks for half of what the run still needs at most: the other half stays free
  // for a transfer that runs out of work, so that the transfers end together rather than one
  // after another.
  // A segment asks for four times what the last one did at most: a rate told by a burst (a
  // server that sends the start of every answer at once) must not commit the rest of the run to
  // one request before the transfer's real rate shows, and a fast link still reaches long
  // segments within a few requests.
  int64_t segment = std::min(segmentBytesOf(run, blockBytes),
                             kSegmentGrowth * std::max(blockBytes, run.lastSegmentBytes));
  if (transfersWanted_.load(std::memory_order_relaxed) > 1) {
    const int64_t runLimit = chunkLimit(writer_.chunkAt(run.lastChunkId), length);
    segment = std::min(segment, std::max<int64_t>(blockBytes, (runLimit - from) / 2));
  }
  const int64_t target = from + segment;
  ChunkInfo last = current;
  while (chunkLimit(last, length) < target && last.chunkId < run.lastChunkId) {
    last = writer_.chunkAt(last.chunkId + 1);
  }
  const int64_t upTo = chunkLimit(last, length);
  run.requestedUpTo = upTo;
  run.lastSegmentBytes = upTo - from;
  if (upTo <= from) return start;  // nothing left: the client's answer ends the run at once
  return start + std::to_string(upTo - 1);
}

bool RunSegments::hasMore(PlannedRun& run) {
  const int64_t length = writer_.contentLength();
  if (length <= 0 || run.pace.leaveRest.load(std::memory_order_relaxed)) return false;
  MutexLock lock(run.runMutex);
  for (int32_t id = run.writerChunkId.load(); id <= run.lastChunkId; ++id) {
    if (!isChunkFinished(writer_.chunkAt(id), length)) return true;
  }
  return false;
}

bool RunSegments::advance(PlannedRun& run) {
  MutexLock lock(run.runMutex);
  if (run.writerChunkId.load() >= run.lastChunkId) return false;
  run.writerChunkId = run.writerChunkId.load() + 1;
  return true;
}

bool RunSegments::storeBytes(PlannedRun& run, int32_t length, const uint8_t* data) {
  ChunkState& state = run.state;
  const uint8_t* next = data;
  int64_t left = length;
  bool stored = false;
  while (left > 0) {
    const ChunkInfo info = writer_.chunkAt(run.writerChunkId.load());
    int64_t room = left;
    if (info.end >= 0) {
      room = std::max<int64_t>(0, chunkLimit(info, writer_.contentLength()) - info.current);
    }
    if (room == 0) {
      // The chunk is full: the bytes go on into the run's next chunk. Past the run's end (a
      // server may answer with more than was asked, up to the resource's end, and a run may have
      // been shortened meanwhile) the transfer has all it needs and ends as a success.
      if (advance(run)) continue;
      if (stored) notifyProgress_();
      state.outcome.rangeFilled = true;
      // The client counts only batches taken whole; the part of this one that was stored counts.
      state.stats.downloadedSize += length - left;
      return false;
    }
    const int64_t part = std::min(left, room);
    const Status written =
        writer_.write(info.chunkId, static_cast<int>(part), const_cast<unsigned char*>(next));
    if (!written.isOk()) {
      state.history.writeErrorCode = written.code();
      state.history.writeErrorMsg = written.message();
      if (stored) notifyProgress_();
      state.history.writeFailed = true;
      return false;
    }
    if (digests_ != nullptr) digests_->offer(info.current, next, part);
    stored = true;
    next += part;
    left -= part;
  }
  if (stored) notifyProgress_();
  return true;
}

int32_t RunSegments::firstUnrequestedChunk(PlannedRun& run) {
  // A cut never reaches a byte the transfer's request asks for: those bytes are on their way,
  // and a cut before them would have them fetched twice.
  const int64_t requested = run.requestedUpTo;
  int32_t first = run.lastChunkId + 1;
  while (first - 1 > run.writerChunkId.load() &&
         writer_.chunkAt(first - 1).start >= requested) {
    --first;
  }
  return first;
}

}  // namespace zephyl
