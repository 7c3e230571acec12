#include "engine/chunk_planner.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "engine/answer_judge.h"
#include "sinks/chunk_plan.h"

namespace zephyl {
namespace {

constexpr auto kFirstOutcomePoll = std::chrono::milliseconds(20);
// The most chunks one run holds: a bound on the chunks planned ahead of the bytes.
constexpr int64_t kMaxRunChunks = 256;
// A transfer's rate is told only once its answer is this old: a connection's first moments
// (a window still opening) would blur it.
constexpr int64_t kMinStealSampleMs = 50;
// A segment asks for about this long at its transfer's rate (and at least ten first answers'
// waits): long enough that a request's round trip costs little, short enough that the rest of a
// run stays free to split. Before any rate is known a segment is one chunk.
constexpr int64_t kSegmentMs = 1000;
constexpr int64_t kSegmentAnswerWaits = 10;
constexpr int64_t kMinSegmentSampleMs = 20;
// The total rate is measured over at least this long (and three first answers' waits) before a
// split is decided; meanwhile the planner looks again this often.
constexpr int64_t kMinRateWindowMs = 50;
constexpr int64_t kMinGainWindowMs = 100;
constexpr auto kRecheck = std::chrono::milliseconds(10);

void merge(const ChunkState& state, DownloadMetrics& metrics) {
  metrics.domains.insert(state.stats.domains.begin(), state.stats.domains.end());
  metrics.remoteIp.insert(state.stats.remoteIps.begin(), state.stats.remoteIps.end());
  metrics.cdn.insert(state.stats.cdns.begin(), state.stats.cdns.end());
  metrics.download_size += state.stats.downloadedSize;
  metrics.download_time += state.stats.endTimeMs;
}

// onConnected is also told when a chunk ends without an accepted answer (cancelled, failed, or an
// answer the client refused); only an accepted 200 or 206 answer is judged.
bool isAcceptedAnswer(const ChunkState& state, int32_t httpCode) {
  return isDataStatus(httpCode) && !state.outcome.answerRefused;
}

ZPResponse cacheError(int code, const std::string& message) {
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::CACHE_ERROR, message);
  response.extraErrorCode = code;
  return response;
}

ZPResponse validatorChanged(const std::string& stored, const std::string& answered) {
  return cacheError(ZPResponse::CACHE_ERROR, "validator changed: " + answered + " " + stored);
}

// "bytes */0" to a range from byte 0: the resource exists and is empty.
bool saysEmptyResource(const ChunkState& state, int32_t httpCode) {
  return httpCode == 416 && state.answer.contentRangeTotal == 0 && state.answer.requestedStart == 0;
}

}  // namespace

ChunkPlanner::ChunkPlanner(Context context) : context_(std::move(context)) {
  context_.maxRunningChunks = std::max(1, context_.maxRunningChunks);
}

ChunkPlanner::~ChunkPlanner() { waitForEveryChunk(); }

void ChunkPlanner::waitForEveryChunk() {
  const bool anyRunning = !running_.empty();
  if (anyRunning) stopEveryChunk();
  {
    MutexLock lock(doneMutex_);
    while (!everyRunningChunkNotified()) doneSignal_.wait(doneMutex_);
  }
  for (const auto& chunk : running_) context_.activeChunks.remove(chunk->request);
  running_.clear();
}

bool ChunkPlanner::everyRunningChunkNotified() const {
  for (const auto& chunk : running_) {
    if (!notified_[chunk->serial]) return false;
  }
  return true;
}

void ChunkPlanner::stopEveryChunk() {
  context_.activeChunks.cancelAll();
  // A transfer waiting in a stream's write for room never sees its cancel flag otherwise.
  context_.writer.setWaitsInterrupted(true);
}

ChunkPlanner::PlannedChunk& ChunkPlanner::addChunk(const ChunkInfo& info, int32_t lastChunkId) {
  auto planned = std::make_unique<PlannedChunk>();
  PlannedChunk& chunk = *planned;
  chunk.bornAtSplit = splits_;
  {
    MutexLock lock(doneMutex_);
    chunk.serial = notified_.size();
    notified_.push_back(false);
  }
  {
    MutexLock lock(chunk.runMutex);
    chunk.writerChunkId = info.chunkId;
    chunk.lastChunkId = lastChunkId;
  }
  // Until its first attempt begins, the transfer has reached the first byte its run needs: a
  // look at a run still waiting for a worker must not count the bytes before it as its own.
  chunk.state.receivedUpTo.store(info.current, std::memory_order_relaxed);
  chunk.request.url = context_.request.url;
  chunk.request.chunkId = info.chunkId;
  chunk.request.handOnAtOnce = context_.writer.streams();
  DataWriter& writer = context_.writer;
  // Asked afresh at every attempt of the transfer, so a retry starts after the bytes stored.
  chunk.request.rangeProvider = [this, &chunk]() { return rangeOf(chunk); };
  chunk.request.hasMore = [this, &chunk]() { return hasMore(chunk); };
  // Every range names the resource its stored bytes belong to: a server whose resource changed
  // answers with the whole new one instead of a part that would not fit.
  chunk.request.ifRangeProvider = [&writer]() { return writer.validator(); };
  chunk.state.onData = [this, &chunk](int32_t, int32_t length, const uint8_t* data) {
    return storeBytes(chunk, length, data);
  };
  chunk.state.onDone = [this, &chunk] {
    // The last thing the worker does with the chunk: the planner may release it right after.
    MutexLock lock(doneMutex_);
    notified_[chunk.serial] = true;
    ++finishedCount_;
    doneSignal_.notifyAll();
  };
  running_.push_back(std::move(planned));
  return chunk;
}

void ChunkPlanner::submitChunk(PlannedChunk& chunk) {
  context_.activeChunks.add(chunk.request);
  context_.client.submit(chunk.request, chunk.state);
}

int64_t ChunkPlanner::segmentBytesOf(const PlannedChunk& chunk, int64_t blockBytes) {
  const int64_t least = std::max<int64_t>(1, blockBytes);
  // Until a transfer has a rate of its own it asks for one chunk: a connection may be far slower
  // than the others, and what it asked for could not be handed to a faster one.
  const int64_t answeredAt = chunk.answeredAtMs.load(std::memory_order_acquire);
  if (answeredAt == 0) return least;
  const int64_t received =
      std::max<int64_t>(0, chunk.state.receivedUpTo.load(std::memory_order_relaxed) -
                               chunk.answeredFrom.load(std::memory_order_relaxed));
  // Bytes that came within a few milliseconds (or in one burst from the socket's buffers) tell
  // a rate poorly: they count as taking that long at least, which can only make a link look
  // slower than it is.
  const int64_t elapsed = std::max(kMinSegmentSampleMs, nowMs() - answeredAt);
  const double rate = static_cast<double>(received) / static_cast<double>(elapsed);
  const double wanted = rate * static_cast<double>(segmentMs_.load(std::memory_order_relaxed));
  if (wanted >= static_cast<double>(std::numeric_limits<int64_t>::max() / 2)) {
    return std::numeric_limits<int64_t>::max() / 2;
  }
  return std::max(least, static_cast<int64_t>(wanted));
}

std::string ChunkPlanner::rangeOf(PlannedChunk& chunk) {
  DataWriter& writer = context_.writer;
  const int64_t length = writer.contentLength();
  MutexLock lock(chunk.runMutex);
  // A chunk of the run that is full already (the last attempt ended right at its end) is passed
  // over: the range starts at the first byte the run still needs.
  ChunkInfo current = writer.chunkAt(chunk.writerChunkId.load());
  while (current.current >= current.end && chunk.writerChunkId.load() < chunk.lastChunkId) {
    chunk.writerChunkId = chunk.writerChunkId.load() + 1;
    current = writer.chunkAt(chunk.writerChunkId.load());
  }
  const int64_t from = current.current;
  const std::string start = std::to_string(from) + "-";
  const int64_t blockBytes = current.end - current.start;
  if (length <= 0) {
    // The length is not known yet. A writer that plans the resource in blocks gets a first
    // segment of whole blocks; one that keeps it as one open chunk asks for everything, as it
    // could never hand a part of it to another transfer.
    if (!chunk.beforeLength || blockBytes <= 0 || blockBytes >= kOpenEnd / 4) {
      chunk.requestedUpTo = std::numeric_limits<int64_t>::max();
      return start;
    }
    chunk.requestedUpTo = current.end;
    return start + std::to_string(chunk.requestedUpTo - 1);
  }
  // The segment ends with the chunk that holds its last byte, or with the run. Beside other
  // transfers it asks for half of what the run still needs at most: the other half stays free
  // for a transfer that runs out of work, so that the transfers end together rather than one
  // after another.
  int64_t segment = segmentBytesOf(chunk, blockBytes);
  if (transfersWanted_.load(std::memory_order_relaxed) > 1) {
    const int64_t runLimit = chunkLimit(writer.chunkAt(chunk.lastChunkId), length);
    segment = std::min(segment, std::max<int64_t>(blockBytes, (runLimit - from) / 2));
  }
  const int64_t target = from + segment;
  ChunkInfo last = current;
  while (chunkLimit(last, length) < target && last.chunkId < chunk.lastChunkId) {
    last = writer.chunkAt(last.chunkId + 1);
  }
  const int64_t upTo = chunkLimit(last, length);
  chunk.requestedUpTo = upTo;
  if (upTo <= from) return start;  // nothing left: the client's answer ends the run at once
  return start + std::to_string(upTo - 1);
}

bool ChunkPlanner::hasMore(PlannedChunk& chunk) {
  DataWriter& writer = context_.writer;
  const int64_t length = writer.contentLength();
  if (length <= 0 || chunk.leaveRest.load(std::memory_order_relaxed)) return false;
  MutexLock lock(chunk.runMutex);
  for (int32_t id = chunk.writerChunkId.load(); id <= chunk.lastChunkId; ++id) {
    if (!isChunkFinished(writer.chunkAt(id), length)) return true;
  }
  return false;
}

bool ChunkPlanner::advance(PlannedChunk& chunk) {
  MutexLock lock(chunk.runMutex);
  if (chunk.writerChunkId.load() >= chunk.lastChunkId) return false;
  chunk.writerChunkId = chunk.writerChunkId.load() + 1;
  return true;
}

bool ChunkPlanner::storeBytes(PlannedChunk& chunk, int32_t length, const uint8_t* data) {
  ChunkState& state = chunk.state;
  DataWriter& writer = context_.writer;
  const uint8_t* next = data;
  int64_t left = length;
  bool stored = false;
  while (left > 0) {
    const ChunkInfo info = writer.chunkAt(chunk.writerChunkId.load());
    int64_t room = left;
    if (info.end >= 0) {
      room = std::max<int64_t>(0, chunkLimit(info, writer.contentLength()) - info.current);
    }
    if (room == 0) {
      // The chunk is full: the bytes go on into the run's next chunk. Past the run's end (a
      // server may answer with more than was asked, up to the resource's end, and a run may have
      // been shortened meanwhile) the transfer has all it needs and ends as a success.
      if (advance(chunk)) continue;
      if (stored) context_.notifyProgress();
      state.outcome.rangeFilled = true;
      // The client counts only batches taken whole; the part of this one that was stored counts.
      state.stats.downloadedSize += length - left;
      return false;
    }
    const int64_t part = std::min(left, room);
    const Status written =
        writer.write(info.chunkId, static_cast<int>(part), const_cast<unsigned char*>(next));
    if (!written.isOk()) {
      state.outcome.writeErrorCode = written.code();
      state.outcome.writeErrorMsg = written.message();
      if (stored) context_.notifyProgress();
      state.outcome.writeFailed = true;
      return false;
    }
    if (context_.digests != nullptr) context_.digests->offer(info.current, next, part);
    stored = true;
    next += part;
    left -= part;
  }
  if (stored) context_.notifyProgress();
  return true;
}

void ChunkPlanner::offerFirstOutcome(const ZPResponse& outcome) {
  firstOutcomeOffered_ = true;
  std::call_once(firstOutcomeOnce_, [this, &outcome] { firstOutcome_.set_value(outcome); });
}

void ChunkPlanner::reject(PlannedChunk& chunk, const ZPResponse& why, bool discard) {
  chunk.rejected = true;
  chunk.rejection = why;
  chunk.discard = discard;
}

bool ChunkPlanner::acceptFirstAnswer(PlannedChunk& chunk, int32_t httpCode,
                                     DownloadMetrics& metrics) {
  const ChunkState& state = chunk.state;
  metrics.http_code = httpCode;
  metrics.content_length = state.answer.contentLength;
  ZPResponse outcome;
  bool accepted = false;
  if (!isAcceptedAnswer(state, httpCode)) {
    // The chunk ended without an answer to plan from; its own failure tells why, unless that
    // answer says the resource is empty.
    outcome = ZPResponse(ZPResponse::RESULT_FAILED, 0, "");
    if (saysEmptyResource(state, httpCode) && !firstOutcomeOffered_ &&
        !context_.writer.lengthConflicts(0) && context_.writer.setContentLength(0).isOk()) {
      chunk.emptyResource = true;
      outcome = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
    }
  } else if (firstOutcomeOffered_) {
    // A later attempt of the first chunk, while the other chunks may run: judged like them.
    accepted = acceptLaterAnswer(chunk);
    outcome = accepted ? ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "") : chunk.rejection;
  } else {
    accepted = judgeFirstAnswer(chunk, httpCode, &outcome);
    // The length is known now: the run takes its share of the bytes its request asked for, before
    // the first of them is stored and before any other worker is handed a chunk.
    if (accepted && httpCode == 206 && chunk.beforeLength) growFirstRun(chunk);
  }
  if (accepted) noteAnswer(chunk);
  offerFirstOutcome(outcome);
  ZP_LOG(Debug) << "first chunk connect success " << httpCode << " " << state.answer.contentLength;
  return accepted;
}

// The first answer decides the plan, alone: no other chunk runs yet. The client has already
// checked that a 206 starts at the byte the range asked for; here the answer is checked against
// what the writer holds. A 200 is the whole resource: it continues the stored bytes only when the
// range started at byte 0, and otherwise takes the download over (a server that ignores ranges,
// or one whose resource changed and that answered the If-Range with the new one).
bool ChunkPlanner::judgeFirstAnswer(PlannedChunk& chunk, int32_t httpCode, ZPResponse* outcome) {
  const ChunkState& state = chunk.state;
  DataWriter& writer = context_.writer;
  const int64_t length = state.answer.totalLengthKnown ? state.answer.contentLength : -1;
  const std::string stored = writer.validator();
  const bool validatorMatches = stored.empty() || state.answer.validator == stored;
  const bool lengthMatches = !writer.lengthConflicts(length);
  if (httpCode == 200 &&
      (state.answer.requestedStart != 0 || !validatorMatches || !lengthMatches)) {
    return takeOver(chunk, length, outcome);
  }
  if (!validatorMatches) {
    reject(chunk, validatorChanged(stored, state.answer.validator), true);
  } else if (!lengthMatches) {
    reject(chunk,
           cacheError(ZPResponse::CACHE_ERROR,
                      contentLengthErrorMessage(length, writer.contentLength())),
           true);
  } else if (length < 0 && httpCode == 206 && (state.answer.requestedEnd >= 0 || chunk.beforeLength)) {
    // Part of a resource of unknown size: neither its end nor the other ranges can be planned.
    reject(chunk, cacheError(ZPResponse::CACHE_ERROR, kUnknownLengthMessage), false);
  } else {
    const Status set = writer.setContentLength(length);
    if (!set.isOk()) {
      reject(chunk, cacheError(set.code(), set.message()), false);
    } else if (httpCode == 200 && length > 0 &&
               !writer.coverWholeResource(chunk.writerChunkId.load())) {
      reject(chunk, cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges"), true);
    }
  }
  if (chunk.rejected) {
    *outcome = chunk.rejection;
    return false;
  }
  // Bytes stored without a validator (or none yet) are kept with this answer's from now on.
  if (stored.empty() && !state.answer.validator.empty())
    writer.setValidator(state.answer.validator);
  *outcome = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  return true;
}

bool ChunkPlanner::takeOver(PlannedChunk& chunk, int64_t length, ZPResponse* outcome) {
  DataWriter& writer = context_.writer;
  if (!writer.canStartOver()) {
    // The whole resource answers a resumed stream: the bytes handed over cannot be taken back.
    reject(chunk,
           ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::STREAM_ERROR,
                      "the server sent the whole resource to a resumed range"),
           true);
    *outcome = chunk.rejection;
    return false;
  }
  ZP_LOG(Info) << "stored bytes dropped: the server sent the whole resource, length " << length;
  writer.reset();
  const ChunkInfo fresh = writer.firstChunk();
  const Status set = writer.setContentLength(length);
  if (!set.isOk()) {
    reject(chunk, cacheError(set.code(), set.message()), false);
  } else if (length > 0 && !writer.coverWholeResource(fresh.chunkId)) {
    reject(chunk, cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges"), false);
  }
  if (chunk.rejected) {
    *outcome = chunk.rejection;
    return false;
  }
  {
    MutexLock lock(chunk.runMutex);
    chunk.writerChunkId = fresh.chunkId;
    chunk.lastChunkId = fresh.chunkId;
  }
  if (!chunk.state.answer.validator.empty()) writer.setValidator(chunk.state.answer.validator);
  *outcome = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  return true;
}

// Later chunks must belong to the same resource: another stated total or another validator means
// the resource changed (or the server lies), and their bytes are never written.
bool ChunkPlanner::acceptLaterAnswer(PlannedChunk& chunk) {
  const ChunkState& state = chunk.state;
  DataWriter& writer = context_.writer;
  if (!state.answer.rangeHonoured) {
    // The whole resource (200) for a range past byte 0: it cannot continue the stored bytes.
    reject(chunk, cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges"), true);
    return false;
  }
  const std::string stored = writer.validator();
  if (!stored.empty() && state.answer.validator != stored) {
    reject(chunk, validatorChanged(stored, state.answer.validator), true);
    return false;
  }
  const int64_t known = writer.contentLength();
  if (state.answer.totalLengthKnown && state.answer.contentLength == known) return true;
  reject(chunk,
         cacheError(ZPResponse::CACHE_ERROR,
                    contentLengthErrorMessage(state.answer.contentLength, known)),
         state.answer.totalLengthKnown);
  return false;
}

void ChunkPlanner::waitForFirstOutcome(const PlannedChunk& first) {
  // Every path that ends the first chunk offers an outcome first; watching the chunk's own done
  // signal as well guarantees the wait ends even if one did not.
  while (firstOutcomeFuture_.wait_for(kFirstOutcomePoll) != std::future_status::ready) {
    if (first.state.doneFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      return;
    }
  }
}

bool ChunkPlanner::claimNext(int32_t* afterChunkId, ChunkInfo* chunk) {
  if (carried_ != nullptr) {
    *chunk = *carried_;
    carried_.reset();
    return true;
  }
  if (!context_.writer.nextChunk(*afterChunkId, chunk)) return false;
  *afterChunkId = chunk->chunkId;
  return true;
}

int64_t ChunkPlanner::shareOf(int64_t offset, int64_t block, int64_t workers) {
  // The cap bounds the chunks planned ahead of the bytes (and so the plan's memory) whatever
  // length a server claims.
  const int64_t left = std::max<int64_t>(block, context_.writer.contentLength() - offset);
  const int64_t chunksLeft = (left - 1) / block + 1;
  return std::clamp<int64_t>((chunksLeft - 1) / std::max<int64_t>(1, workers) + 1, 1,
                             kMaxRunChunks);
}

void ChunkPlanner::growFirstRun(PlannedChunk& first) {
  DataWriter& writer = context_.writer;
  int32_t last = 0;
  {
    MutexLock lock(first.runMutex);
    last = first.lastChunkId;
  }
  const ChunkInfo head = writer.chunkAt(first.writerChunkId.load());
  const int64_t block = std::max<int64_t>(1, head.end - head.start);
  // Each transfer wanted at the start gets an even share of the whole resource (one transfer:
  // all of it, up to the run cap); the first run's end is where the next one's run begins.
  const int64_t share = shareOf(head.start, block, wanted_);
  int64_t end = writer.chunkAt(last).end;
  for (int64_t count = last - first.writerChunkId.load() + 1; count < share; ++count) {
    ChunkInfo next;
    if (!writer.nextChunk(last, &next)) break;
    // As in claimRun: one range of chunks that hold nothing yet.
    if (next.chunkId != last + 1 || next.start != end || next.current != next.start) break;
    last = next.chunkId;
    end = next.end;
  }
  MutexLock lock(first.runMutex);
  first.lastChunkId = last;
}

int32_t ChunkPlanner::claimRun(const ChunkInfo& head, int32_t* afterChunkId) {
  // An even share: what is left from head on, in chunks of head's size, over the workers that
  // have no run yet (this one included). Workers that finish early take over the ends of the
  // runs still going.
  const int64_t block = std::max<int64_t>(1, head.end - head.start);
  const int64_t freeWorkers = wanted_ - static_cast<int64_t>(running_.size());
  const int64_t share = shareOf(head.start, block, freeWorkers);
  int32_t last = head.chunkId;
  int64_t end = head.end;
  for (int64_t count = 1; count < share; ++count) {
    ChunkInfo next;
    if (!claimNext(afterChunkId, &next)) break;
    // A run is one range: the next chunk must follow without a gap and hold nothing yet (a
    // resume skips the bytes stored), and the first chunk is never part of another run.
    if (next.chunkId != last + 1 || next.start != end || next.current != next.start ||
        next.chunkId == first_->writerChunkId.load()) {
      carried_ = std::make_unique<ChunkInfo>(next);
      break;
    }
    last = next.chunkId;
    end = next.end;
  }
  return last;
}

void ChunkPlanner::submitRun(PlannedChunk& chunk) {
  chunk.state.onConnected = [this, &chunk](int32_t httpCode, int64_t) {
    if (!isAcceptedAnswer(chunk.state, httpCode)) return true;
    if (!acceptLaterAnswer(chunk)) return false;
    noteAnswer(chunk);
    return true;
  };
  chunk.submittedAtMs = nowMs();
  chunk.submittedFrom = context_.writer.chunkAt(chunk.writerChunkId.load()).current;
  submitChunk(chunk);
}

double ChunkPlanner::remainingMsOf(PlannedChunk& chunk, int64_t now) {
  int32_t last = 0;
  {
    MutexLock lock(chunk.runMutex);
    last = chunk.lastChunkId;
  }
  const int64_t remaining =
      chunkLimit(context_.writer.chunkAt(last), context_.writer.contentLength()) -
      chunk.state.receivedUpTo.load(std::memory_order_relaxed);
  // A transfer without an answer, or one too recent to tell, is taken to be as fast as the
  // fastest so far. (Its sample spans two first answers' waits at least: some round trips.)
  double rate = rateOf(chunk, now, std::max<int64_t>(kMinStealSampleMs, 2 * firstAnswerMs_));
  if (rate <= 0) rate = fastestRate_;
  if (rate <= 0) return std::numeric_limits<double>::infinity();
  return static_cast<double>(std::max<int64_t>(0, remaining)) / rate;
}

void ChunkPlanner::noteAnswer(PlannedChunk& chunk) {
  if (chunk.answeredAtMs.load(std::memory_order_relaxed) != 0) return;
  chunk.answeredFrom.store(std::max<int64_t>(0, chunk.state.answer.requestedStart),
                           std::memory_order_relaxed);
  chunk.answeredAtMs.store(nowMs(), std::memory_order_release);
}

double ChunkPlanner::rateOf(const PlannedChunk& chunk, int64_t now, int64_t minSampleMs) {
  const int64_t answeredAt = chunk.answeredAtMs.load(std::memory_order_acquire);
  if (answeredAt == 0) return 0;
  const int64_t elapsed = now - answeredAt;
  if (elapsed < minSampleMs || elapsed <= 0) return 0;
  const int64_t received = chunk.state.receivedUpTo.load(std::memory_order_relaxed) -
                           chunk.answeredFrom.load(std::memory_order_relaxed);
  return static_cast<double>(std::max<int64_t>(0, received)) / static_cast<double>(elapsed);
}

void ChunkPlanner::considerSplit() {
  if (splitSettled_ || wanted_ >= context_.maxRunningChunks) return;
  if (failure_ != nullptr || context_.cancelled.load()) return;
  DataWriter& writer = context_.writer;
  const int64_t length = writer.contentLength();
  if (length <= 0) return;
  // The window opens once every wanted transfer has its answer: a connection still being set up
  // would make the rate look lower than the transfers deliver.
  size_t answered = 0;
  for (const auto& chunk : running_) {
    if (chunk->answeredAtMs.load(std::memory_order_acquire) != 0) ++answered;
  }
  const int64_t now = nowMs();
  // A window covers the same transfers from its start to its end; one that ended or began
  // meanwhile starts it again.
  bool sameTransfers = answered == static_cast<size_t>(windowMembers_);
  for (const auto& chunk : running_) sameTransfers = sameTransfers && chunk->inWindow;
  if (answered < static_cast<size_t>(wanted_) || !sameTransfers) windowStartMs_ = 0;
  if (answered < static_cast<size_t>(wanted_)) return;
  if (windowStartMs_ == 0) {
    windowStartMs_ = now;
    windowMembers_ = static_cast<int>(running_.size());
    windowHolds_ = context_.client.limits().holds();
    for (const auto& chunk : running_) {
      chunk->inWindow = true;
      chunk->windowFrom = chunk->state.receivedUpTo.load(std::memory_order_relaxed);
    }
    return;
  }
  const int64_t elapsed = now - windowStartMs_;
  // Whether the transfers added last raised the rate is told over a longer window than the time
  // left: a new connection's first bytes come unevenly.
  const int64_t windowMs = wanted_ > 1 ? kMinGainWindowMs : kMinRateWindowMs;
  if (elapsed < std::max<int64_t>(windowMs, 3 * firstAnswerMs_)) return;
  windowStartMs_ = 0;
  // A rate limit held the transfers back in the window: more transfers would share the same
  // limit and gain nothing. Nothing is settled, so that splitting resumes from a fresh window
  // once the limit is raised or lifted.
  if (context_.client.limits().holds() != windowHolds_) return;
  // What every transfer received in the window, and those that ran before the last split.
  int64_t received = 0;
  int64_t receivedByEarlier = 0;
  for (const auto& chunk : running_) {
    const int64_t bytes = std::max<int64_t>(
        0, chunk->state.receivedUpTo.load(std::memory_order_relaxed) - chunk->windowFrom);
    received += bytes;
    if (chunk->bornAtSplit < splits_) receivedByEarlier += bytes;
  }
  const auto perMs = [elapsed](int64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(elapsed);
  };
  const double rate = perMs(received);
  if (wanted_ > 1) {
    // The transfers added last must have raised the total by half a fair share of one
    // connection each at least. Less says the link (or the server) is full already, when the
    // earlier transfers lost what the new ones got; when they kept their rate, the new ones are
    // slow on their own, and the others take their rest over in time.
    const int before = wanted_ - addedLast_;
    const double fairShare = rateBeforeLastAdd_ / before;
    const bool earlierKeptTheirRate = perMs(receivedByEarlier) >= 0.9 * rateBeforeLastAdd_;
    if (rate - rateBeforeLastAdd_ < 0.5 * fairShare * addedLast_ && !earlierKeptTheirRate) {
      ZP_LOG(Debug) << "split settled at " << wanted_ << " transfers: the last added "
                    << static_cast<int64_t>((rate - rateBeforeLastAdd_) * 1000) << " B/s";
      splitSettled_ = true;
      return;
    }
  }
  const int64_t stored = writer.downloadedLength();
  // The time left only shrinks: once it is below the threshold, no later split pays either.
  const double leftMs = rate > 0 ? static_cast<double>(length - stored) / rate
                                 : std::numeric_limits<double>::infinity();
  if (leftMs <= static_cast<double>(context_.splitThresholdMs)) {
    ZP_LOG(Debug) << "split settled at " << wanted_ << " transfers: "
                  << static_cast<int64_t>(leftMs) << " ms left";
    splitSettled_ = true;
    return;
  }
  rateBeforeLastAdd_ = rate;
  connectionRate_.store(rate / wanted_, std::memory_order_relaxed);
  // As many again as run now (up to the most): a link that gives every connection its own rate
  // reaches it in a few windows.
  addedLast_ = std::min(wanted_, context_.maxRunningChunks - wanted_);
  wanted_ += addedLast_;
  ++splits_;
  transfersWanted_.store(wanted_, std::memory_order_relaxed);
  ZP_LOG(Debug) << "split: " << wanted_ << " transfers, " << static_cast<int64_t>(leftMs)
                << " ms left at " << static_cast<int64_t>(rate * 1000) << " B/s";
}

void ChunkPlanner::relieveSlowTransfer() {
  // A stream's next byte must always be being fetched: a run left to wait for a free worker
  // could wait behind transfers that themselves wait for room in the stream's reorder buffer.
  if (context_.writer.streams()) return;
  if (running_.size() < 2 || failure_ != nullptr || context_.cancelled.load()) return;
  const int64_t now = nowMs();
  const int64_t sampleMs = std::max<int64_t>(4 * kMinStealSampleMs, 3 * firstAnswerMs_);
  double fastest = 0;
  for (const auto& chunk : running_) fastest = std::max(fastest, rateOf(*chunk, now, sampleMs));
  if (fastest <= 0) return;
  for (const auto& running : running_) {
    PlannedChunk& chunk = *running;
    if (!chunk.mayLeave || chunk.leaveRest.load(std::memory_order_relaxed)) continue;
    const double rate = rateOf(chunk, now, sampleMs);
    if (rate <= 0 || rate * 4 > fastest) continue;
    // Worth it only when its rest is more than a new request's wait at the fastest rate.
    int32_t last = 0;
    {
      MutexLock lock(chunk.runMutex);
      last = chunk.lastChunkId;
    }
    const int64_t rest = chunkLimit(context_.writer.chunkAt(last), context_.writer.contentLength()) -
                         chunk.state.receivedUpTo.load(std::memory_order_relaxed);
    if (static_cast<double>(rest) / fastest <= 4.0 * static_cast<double>(firstAnswerMs_)) continue;
    ZP_LOG(Debug) << "chunkId: " << chunk.request.chunkId << " leaves its rest: "
                  << static_cast<int64_t>(rate * 1000) << " B/s beside "
                  << static_cast<int64_t>(fastest * 1000) << " B/s";
    chunk.mayLeave = false;
    chunk.leaveRest = true;
    chunk.request.dropConnection = true;
  }
}

void ChunkPlanner::resubmitRests() {
  while (!rests_.empty() && running_.size() < static_cast<size_t>(wanted_)) {
    if (failure_ != nullptr || context_.cancelled.load()) return;
    const auto [head, last] = rests_.back();
    rests_.pop_back();
    ZP_LOG(Debug) << "chunkId: " << head << ", run to chunk " << last << " left by its transfer";
    PlannedChunk& rest = addChunk(context_.writer.chunkAt(head), last);
    rest.mayLeave = false;
    submitRun(rest);
  }
}

bool ChunkPlanner::topUp(int32_t* afterChunkId) {
  while (running_.size() < static_cast<size_t>(wanted_)) {
    if (failure_ != nullptr || context_.cancelled.load()) return false;
    ChunkInfo info;
    if (!claimNext(afterChunkId, &info)) return false;
    if (info.chunkId == first_->writerChunkId.load()) continue;
    const int32_t last = claimRun(info, afterChunkId);
    PlannedChunk& chunk = addChunk(info, last);
    ZP_LOG(Debug) << "chunkId: " << info.chunkId << ", run to chunk " << last;
    submitRun(chunk);
  }
  return true;
}

int32_t ChunkPlanner::firstUnrequestedChunk(PlannedChunk& chunk) {
  // A cut never reaches a byte the transfer's request asks for: those bytes are on their way,
  // and a cut before them would have them fetched twice.
  const int64_t requested = chunk.requestedUpTo;
  int32_t first = chunk.lastChunkId + 1;
  while (first - 1 > chunk.writerChunkId.load() &&
         context_.writer.chunkAt(first - 1).start >= requested) {
    --first;
  }
  return first;
}

int64_t ChunkPlanner::takenChunks(const PlannedChunk& victim, int64_t rest, int64_t now) {
  // Shared by rate, so that both transfers end about together: a connection as fast as the
  // attempt's take most of a slow one's rest. Half when either rate is unknown.
  const double victimRate =
      rateOf(victim, now, std::max<int64_t>(kMinStealSampleMs, 2 * firstAnswerMs_));
  const double thiefRate = std::max(fastestRate_, connectionRate_.load(std::memory_order_relaxed));
  double share = 0.5;
  if (victimRate > 0 && thiefRate > 0) share = thiefRate / (thiefRate + victimRate);
  const auto taken = static_cast<int64_t>(static_cast<double>(rest) * share + 0.5);
  return std::clamp<int64_t>(taken, 1, rest);
}

bool ChunkPlanner::steal() {
  if (failure_ != nullptr || context_.cancelled.load()) return false;
  bool any = false;
  while (running_.size() < static_cast<size_t>(wanted_)) {
    // The run its transfer would take longest to finish, among those with a chunk it has not
    // asked for yet; the most such chunks breaks a tie.
    const int64_t now = nowMs();
    PlannedChunk* victim = nullptr;
    int64_t spare = 0;
    double longestMs = -1;
    for (const auto& running : running_) {
      PlannedChunk& chunk = *running;
      int64_t rest = 0;
      {
        MutexLock lock(chunk.runMutex);
        rest = int64_t{chunk.lastChunkId} - firstUnrequestedChunk(chunk) + 1;
      }
      if (rest <= 0) continue;
      const double ms = remainingMsOf(chunk, now);
      if (ms > longestMs || (ms == longestMs && rest > spare)) {
        spare = rest;
        longestMs = ms;
        victim = &chunk;
      }
    }
    // A new request's answer takes about as long as the first one's did (a connection to set up
    // first, perhaps): the end of a run that its own transfer finishes within two of those stays
    // with it, as a link that one transfer fills gains nothing from another one's wait.
    if (victim == nullptr || longestMs <= 2.0 * static_cast<double>(firstAnswerMs_)) return any;
    int32_t first = 0;
    int32_t last = 0;
    {
      // Looked at again under the lock that the transfer asks for its segments under: the cut
      // never reaches a byte it has asked for.
      MutexLock lock(victim->runMutex);
      const int64_t rest = int64_t{victim->lastChunkId} - firstUnrequestedChunk(*victim) + 1;
      if (rest <= 0) continue;  // its transfer got there meanwhile
      last = victim->lastChunkId;
      first = static_cast<int32_t>(last - takenChunks(*victim, rest, now) + 1);
      victim->lastChunkId = first - 1;
    }
    ZP_LOG(Debug) << "chunkId: " << first << ", run to chunk " << last << " taken from chunkId "
                  << victim->request.chunkId;
    PlannedChunk& chunk = addChunk(context_.writer.chunkAt(first), last);
    submitRun(chunk);
    any = true;
  }
  return any;
}

bool ChunkPlanner::isFailure(const PlannedChunk& chunk) const {
  if (chunk.emptyResource) return false;
  return chunk.state.outcome.errorCode != 0 || chunk.rejected;
}

size_t ChunkPlanner::collectFinished(DownloadMetrics& metrics) {
  const int64_t now = nowMs();
  for (auto it = running_.begin(); it != running_.end();) {
    PlannedChunk& chunk = **it;
    {
      MutexLock lock(doneMutex_);
      if (!notified_[chunk.serial]) {
        ++it;
        continue;
      }
    }
    merge(chunk.state, metrics);
    const auto lastModified = chunk.state.stats.headers.find("last-modified");
    if (lastModified != chunk.state.stats.headers.end()) lastModified_ = lastModified->second;
    if (answerStatus_ == 0 && chunk.state.outcome.finalStatus > 0) {
      answerStatus_ = chunk.state.outcome.finalStatus;
      answerHeaders_ = chunk.state.stats.headers;
    }
    if (isFailure(chunk)) {
      if (failure_ == nullptr) {
        failure_ = std::make_unique<AttemptResult>(failureOf(chunk, metrics));
        failure_->httpCode = chunk.state.outcome.finalStatus;
        failure_->headers = chunk.state.stats.headers;
      }
      stopEveryChunk();
    } else {
      // A transfer that left (or ended early without an error) leaves the rest of its run.
      {
        MutexLock lock(chunk.runMutex);
        const int64_t length = context_.writer.contentLength();
        int32_t head = chunk.writerChunkId.load();
        while (head <= chunk.lastChunkId && isChunkFinished(context_.writer.chunkAt(head), length)) {
          ++head;
        }
        // Only after progress: a transfer that ended well without a byte would be asked again
        // and again; its run stays short and the attempt ends incomplete instead.
        const bool progressed = head > chunk.lastChunkId ||
                                context_.writer.chunkAt(head).current > chunk.submittedFrom;
        if (length > 0 && head <= chunk.lastChunkId && progressed) {
          rests_.emplace_back(head, chunk.lastChunkId);
        }
      }
      // A short transfer's rate is blurred by its answer's wait: low, never too high.
      const double elapsed = static_cast<double>(std::max<int64_t>(1, now - chunk.submittedAtMs));
      fastestRate_ =
          std::max(fastestRate_, static_cast<double>(chunk.state.stats.downloadedSize) / elapsed);
      connectionRate_.store(std::max(connectionRate_.load(std::memory_order_relaxed), fastestRate_),
                            std::memory_order_relaxed);
    }
    context_.activeChunks.remove(chunk.request);
    // The first chunk's record stays for the attempt: the plan is told apart from it.
    if (&chunk == first_) firstKept_ = std::move(*it);
    it = running_.erase(it);
  }
  return running_.size();
}

AttemptResult ChunkPlanner::failureOf(const PlannedChunk& chunk, DownloadMetrics& metrics) {
  AttemptResult result;
  const ChunkState& state = chunk.state;
  if (chunk.rejected) {
    metrics.client_extra_error_code = chunk.rejection.extraErrorCode;
    result.response = chunk.rejection;
    result.discardStored = chunk.discard;
    return result;
  }
  // A server that answers a range past byte 0 with the whole resource: it ignores ranges, or its
  // resource changed and it answered the If-Range with the new one. Either way the stored bytes
  // cannot be continued by it.
  if (state.outcome.answerRefused && state.outcome.httpCode == 200) {
    metrics.client_extra_error_code = ZPResponse::EXECUTE_ERROR;
    result.response = cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges");
    result.discardStored = true;
    return result;
  }
  // 416: the range lies past the resource's end. That proves the stored bytes wrong when the
  // range lies inside the length they were stored for, or the answer states a total the range
  // starts past: the resource shrank.
  if (state.outcome.finalStatus == 416) {
    const int64_t known = context_.writer.contentLength();
    const bool shrank =
        (known > 0 && state.answer.requestedStart >= 0 && state.answer.requestedStart < known) ||
        (state.answer.contentRangeTotal >= 0 &&
         state.answer.contentRangeTotal <= state.answer.requestedStart);
    metrics.client_extra_error_code = 416;
    result.response = cacheError(416, "range not satisfiable: the stored download no longer fits");
    result.discardStored = shrank;
    return result;
  }
  result.response = HttpChunkClient::classify(state, &metrics);
  return result;
}

bool ChunkPlanner::checkContent(AttemptResult* result) {
  if (context_.digests == nullptr || !context_.digests->wantsAny()) return true;
  int64_t length = context_.writer.contentLength();
  if (length <= 0) length = context_.writer.downloadedLength();
  if (!context_.digests->finish(context_.writer, length, &result->digests) &&
      context_.expected != nullptr && result->digests.of(context_.expected->algorithm).empty()) {
    // The stored bytes could not be read back (or the platform refused the digest): they stay,
    // and the next attempt only checks and delivers.
    result->response = cacheError(ZPResponse::EXECUTE_ERROR, "cannot compute the content's " +
                                                                 std::string(digestName(
                                                                     context_.expected->algorithm)));
    return false;
  }
  ZP_LOG(Debug) << "content digests: " << context_.digests->readBackBytes()
                << " bytes read back in all";
  if (context_.expected == nullptr) return true;
  ZPResponse verdict = checkDigest(*context_.expected, result->digests);
  if (verdict.isSuccess()) return true;
  ZP_LOG(Warn) << "content rejected: " << verdict.errorMsg;
  result->response = std::move(verdict);
  result->contentRejected = true;
  return false;
}

AttemptResult ChunkPlanner::finish() {
  if (context_.onAllStored) context_.onAllStored();
  AttemptResult result;
  result.response = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  result.lastModified = lastModified_;
  result.httpCode = answerStatus_;
  result.headers = answerHeaders_;
  // The check runs before delivery: content that fails it never reaches the target.
  if (!checkContent(&result)) return result;
  // A failed delivery keeps the complete download: the next attempt only delivers.
  const Status delivered = context_.writer.moveToSaveDir(context_.request, &result.response);
  if (!delivered.isOk()) result.response = cacheError(delivered.code(), delivered.message());
  return result;
}

AttemptResult ChunkPlanner::runAttempt(DownloadMetrics& metrics) {
  if (context_.cancelled.load()) {
    return AttemptResult{ZPResponse(ZPResponse::RESULT_CANCELLED, 0, ""), false, {}, {}, false, 0, {}};
  }
  // The last attempt's stop (see stopEveryChunk) must not cut this one's waits short.
  context_.writer.setWaitsInterrupted(false);
  const ChunkInfo firstInfo = context_.writer.firstChunk();
  if (firstInfo.current == firstInfo.end) return finish();

  PlannedChunk& first = addChunk(firstInfo, firstInfo.chunkId);
  first_ = &first;
  // Without a split threshold every transfer opens at once, each with an even share.
  if (context_.splitThresholdMs <= 0) {
    wanted_ = context_.maxRunningChunks;
    transfersWanted_.store(wanted_, std::memory_order_relaxed);
    splitSettled_ = true;
  }
  if (context_.writer.contentLength() > 0) {
    // A resume: the length is known, and the first run takes its share at once.
    growFirstRun(first);
  } else if (firstInfo.end > firstInfo.start) {
    // The length comes with the first answer, which its run then grows into (whatever length
    // the answer claims, only up to the run cap).
    first.beforeLength = true;
  }
  first.state.acceptWholeAnswer = true;
  first.state.onConnected = [this, &first, &metrics](int32_t httpCode, int64_t) {
    return acceptFirstAnswer(first, httpCode, metrics);
  };
  ZP_LOG(Debug) << "submit first chunk" << firstInfo.start << "," << firstInfo.current << ","
                << firstInfo.end;
  const int64_t startMs = nowMs();
  first.submittedAtMs = startMs;
  first.submittedFrom = firstInfo.current;
  submitChunk(first);

  waitForFirstOutcome(first);
  metrics.first_response_time = nowMs() - startMs;
  firstAnswerMs_ = metrics.first_response_time;
  segmentMs_.store(std::max(kSegmentMs, kSegmentAnswerWaits * firstAnswerMs_),
                   std::memory_order_relaxed);
  const bool firstFailedEarly =
      firstOutcomeFuture_.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
      firstOutcomeFuture_.get().getResultCode() != ZPResponse::RESULT_SUCCESS;

  // The other chunks go out only after a good first answer (the length and validator are known
  // then), and only as many at once as the client runs: the rest wait in the writer's plan, so
  // memory follows the work in progress, not the claimed length.
  bool more = !firstFailedEarly;
  // The chunks up to the first run's end are its own; the other workers claim those after it.
  // (The chunks before the first chunk are finished.)
  int32_t afterChunkId = 0;
  {
    MutexLock lock(first.runMutex);
    afterChunkId = first.lastChunkId;
  }
  const auto max = static_cast<size_t>(context_.maxRunningChunks);
  for (;;) {
    if (!firstFailedEarly) {
      considerSplit();
      relieveSlowTransfer();
      resubmitRests();
    }
    if (more) more = topUp(&afterChunkId);
    uint64_t seen = 0;
    {
      MutexLock lock(doneMutex_);
      seen = finishedCount_;
    }
    size_t stillRunning = collectFinished(metrics);
    if (failure_ != nullptr || context_.cancelled.load()) more = false;
    if (!firstFailedEarly && !rests_.empty()) {
      resubmitRests();
      stillRunning = running_.size();
    }
    // Once every chunk is claimed, the workers that collecting freed share the runs still going.
    if (!more && !firstFailedEarly && steal()) stillRunning = running_.size();
    if (stillRunning == 0) {
      if (!more) break;
      continue;
    }
    // Workers freed by collecting get their next run at once, not after the next transfer ends.
    if (more && stillRunning < static_cast<size_t>(wanted_)) continue;
    // A chunk still running counts itself in when it ends: the wait cannot miss it. While a
    // split may still pay, or transfers wanted have nothing to take, the planner looks again
    // now and then: at the rate, and for a run with a rest to spare.
    const bool lookAgain = !firstFailedEarly && failure_ == nullptr &&
                           ((!splitSettled_ && static_cast<size_t>(wanted_) < max) ||
                            (!more && stillRunning < static_cast<size_t>(wanted_)) ||
                            stillRunning > 1);
    MutexLock lock(doneMutex_);
    while (finishedCount_ == seen) {
      if (!lookAgain) {
        doneSignal_.wait(doneMutex_);
      } else if (!doneSignal_.waitFor(doneMutex_, kRecheck)) {
        break;
      }
    }
  }

  // A cancel ends transfers with libcurl's abort, which reads as their failure: the host's
  // cancel is what happened.
  if (context_.cancelled.load()) {
    return AttemptResult{ZPResponse(ZPResponse::RESULT_CANCELLED, 0, ""), false, {}, {}, false, 0, {}};
  }
  if (failure_ != nullptr) return *failure_;
  // Every chunk ended well yet bytes are missing (a server that sent less than its range without
  // an error): never deliver a short file. The stored bytes are good, so the next attempt resumes.
  const int64_t length = context_.writer.contentLength();
  const int64_t stored = context_.writer.downloadedLength();
  if (length >= 0 && stored != length) {
    return AttemptResult{ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::BLOCK_HTTP_NETWORK_ERROR,
                                    "incomplete download: " + std::to_string(stored) + " of " +
                                        std::to_string(length) + " bytes"),
                         false,
                         {},
                         {},
                         false,
                         0,
                         {}};
  }
  return finish();
}

}  // namespace zephyl
