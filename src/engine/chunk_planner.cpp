#include "engine/chunk_planner.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "engine/run_answers.h"

namespace zephyl {
namespace {

// A segment asks for about this long at its transfer's rate (and at least ten first answers'
// waits): long enough that a request's round trip costs little, short enough that the rest of a
// run stays free to split. Before any rate is known a segment is one chunk.
constexpr int64_t kSegmentMs = 1000;
constexpr int64_t kSegmentAnswerWaits = 10;
// While a split may still pay, or transfers wanted have nothing to take, the planner looks again
// this often.
constexpr auto kRecheck = std::chrono::milliseconds(10);

}  // namespace

ChunkPlanner::ChunkPlanner(Context context)
    : context_(std::move(context)),
      segments_(context_.writer, context_.digests, context_.notifyProgress),
      rates_(context_.writer),
      splitter_({std::max(1, context_.maxRunningChunks), context_.splitThresholdMs},
                context_.writer, context_.client.limits(), rates_, segments_),
      claims_(context_.writer),
      results_(context_.writer, {context_.request, context_.onAllStored, context_.digests,
                                 context_.expected}) {}

ChunkPlanner::~ChunkPlanner() { waitForEveryRun(); }

void ChunkPlanner::waitForEveryRun() {
  if (!running_.empty()) stopEveryRun();
  completions_.waitForAll(running_);
  for (const auto& run : running_) context_.activeChunks.remove(run->request);
  running_.clear();
}

void ChunkPlanner::stopEveryRun() {
  context_.activeChunks.cancelAll();
  // A transfer waiting in a stream's write for room never sees its cancel flag otherwise.
  context_.writer.setWaitsInterrupted(true);
}

bool ChunkPlanner::stopping() const { return results_.failed() || context_.cancelled.load(); }

PlannedRun& ChunkPlanner::addRun(const ChunkInfo& head, int32_t lastChunkId) {
  auto planned = std::make_unique<PlannedRun>();
  PlannedRun& run = *planned;
  run.pace.bornAtSplit = splitter_.splits();
  run.serial = completions_.enrol();
  {
    MutexLock lock(run.runMutex);
    run.writerChunkId = head.chunkId;
    run.lastChunkId = lastChunkId;
  }
  // Until its first request begins, the transfer has reached the first byte its run needs: a
  // look at a run still waiting for a worker must not count the bytes before it as its own.
  run.state.receivedUpTo.store(head.current, std::memory_order_relaxed);
  run.request.url = context_.request.url;
  run.request.chunkId = head.chunkId;
  run.request.handOnAtOnce = context_.writer.streams();
  DataWriter& writer = context_.writer;
  // Asked afresh at every request of the transfer, so a retry starts after the bytes stored.
  run.request.rangeProvider = [this, &run]() { return segments_.rangeOf(run); };
  run.request.hasMore = [this, &run]() { return segments_.hasMore(run); };
  // Every range names the resource its stored bytes belong to: a server whose resource changed
  // answers with the whole new one instead of a part that would not fit.
  run.request.ifRangeProvider = [&writer]() { return writer.validator(); };
  run.state.onData = [this, &run](int32_t, int32_t length, const uint8_t* data) {
    return segments_.storeBytes(run, length, data);
  };
  // The last thing the worker does with the run: the planner may release it right after.
  run.state.onDone = [this, &run] { completions_.markDone(run.serial); };
  running_.push_back(std::move(planned));
  return run;
}

void ChunkPlanner::submit(PlannedRun& run) {
  context_.activeChunks.add(run.request);
  context_.client.submit(run.request, run.state);
}

void ChunkPlanner::submitRun(PlannedRun& run) {
  run.state.onConnected = [this, &run](int32_t httpCode, int64_t) {
    if (!isAcceptedAnswer(run.state, httpCode)) return true;
    if (!acceptLaterAnswer(context_.writer, run)) return false;
    RunRates::noteAnswer(run);
    return true;
  };
  run.pace.submittedAtMs = nowMs();
  run.pace.submittedFrom = context_.writer.chunkAt(run.writerChunkId.load()).current;
  submit(run);
}

void ChunkPlanner::submitFirstRun(const ChunkInfo& head, bool confirming,
                                  DownloadMetrics& metrics) {
  PlannedRun& first = addRun(head, head.chunkId);
  first_ = &first;
  first.confirmsStored = confirming;
  if (confirming) {
    // One byte is asked for; the run grows only when its answer takes the download over.
  } else if (context_.writer.contentLength() > 0) {
    // A resume: the length is known, and the first run takes its share at once.
    claims_.growFirstRun(first, splitter_.wanted());
  } else if (head.end > head.start) {
    // The length comes with the first answer, which its run then grows into (whatever length
    // the answer claims, only up to the run cap).
    first.beforeLength = true;
  }
  first.state.acceptWholeAnswer = true;
  first.state.onConnected = [this, &first, &metrics](int32_t httpCode, int64_t) {
    return acceptFirstAnswer(first, httpCode, metrics);
  };
  ZP_LOG(Debug) << "submit first chunk" << head.start << "," << head.current << "," << head.end
                << (confirming ? ", confirming the stored download" : "");
  first.pace.submittedAtMs = nowMs();
  first.pace.submittedFrom = head.current;
  submit(first);
}

bool ChunkPlanner::acceptFirstAnswer(PlannedRun& first, int32_t httpCode,
                                     DownloadMetrics& metrics) {
  const ChunkState& state = first.state;
  metrics.http_code = httpCode;
  metrics.content_length = state.answer.contentLength;
  const ZPResponse success(ZPResponse::RESULT_SUCCESS, 0, "");
  ZPResponse outcome;
  bool accepted = false;
  if (!isAcceptedAnswer(state, httpCode)) {
    // The run ended without an answer to plan from; its own failure tells why, unless that
    // answer says the resource is empty.
    const bool empty =
        !firstOutcome_.offered() && acceptEmptyResource(context_.writer, first, httpCode);
    outcome = empty ? success : ZPResponse(ZPResponse::RESULT_FAILED, 0, "");
  } else if (firstOutcome_.offered()) {
    // A later request of the first run, while the other runs may run: judged like them.
    accepted = acceptLaterAnswer(context_.writer, first);
    outcome = accepted ? success : first.verdict.rejection;
  } else {
    accepted = judgeFirstAnswer(context_.writer, first, httpCode, &outcome);
    if (accepted && context_.checkRoom) {
      ZPResponse room = context_.checkRoom(context_.writer.contentLength());
      if (!room.isSuccess()) {
        first.verdict.rejected = true;
        first.verdict.rejection = room;
        first.verdict.discard = false;
        outcome = std::move(room);
        accepted = false;
      }
    }
    // The length is known now: the run takes its share of the bytes its request asked for, before
    // the first of them is stored and before any other worker is handed a run.
    if (accepted && httpCode == 206 && first.beforeLength) {
      claims_.growFirstRun(first, splitter_.wanted());
    }
  }
  if (accepted) RunRates::noteAnswer(first);
  // An accepted answer carried the stored bytes' validator, or took the download over.
  if (accepted && context_.storedUnconfirmed != nullptr) context_.storedUnconfirmed->store(false);
  firstOutcome_.offer(outcome);
  ZP_LOG(Debug) << "first chunk connect success " << httpCode << " " << state.answer.contentLength;
  return accepted;
}

bool ChunkPlanner::topUp() {
  while (running_.size() < static_cast<size_t>(splitter_.wanted())) {
    if (stopping()) return false;
    ChunkInfo head;
    if (!claims_.claimNext(&head)) return false;
    if (head.chunkId == first_->writerChunkId.load()) continue;
    const int64_t freeWorkers = splitter_.wanted() - static_cast<int64_t>(running_.size());
    const int32_t last = claims_.claimRun(head, freeWorkers, first_->writerChunkId);
    PlannedRun& run = addRun(head, last);
    ZP_LOG(Debug) << "chunkId: " << head.chunkId << ", run to chunk " << last;
    submitRun(run);
  }
  return true;
}

void ChunkPlanner::resubmitRests() {
  while (claims_.hasRests() && running_.size() < static_cast<size_t>(splitter_.wanted())) {
    if (stopping()) return;
    const auto [head, last] = claims_.takeRest();
    ZP_LOG(Debug) << "chunkId: " << head << ", run to chunk " << last << " left by its transfer";
    PlannedRun& rest = addRun(context_.writer.chunkAt(head), last);
    rest.pace.mayLeave = false;
    submitRun(rest);
  }
}

bool ChunkPlanner::steal() {
  if (stopping()) return false;
  bool any = false;
  while (running_.size() < static_cast<size_t>(splitter_.wanted())) {
    const std::optional<RunCut> cut = splitter_.cutForIdleWorker(running_);
    if (!cut) return any;
    ZP_LOG(Debug) << "chunkId: " << cut->first << ", run to chunk " << cut->last
                  << " taken from chunkId " << cut->victimChunkId;
    submitRun(addRun(context_.writer.chunkAt(cut->first), cut->last));
    any = true;
  }
  return any;
}

size_t ChunkPlanner::collectFinished(DownloadMetrics& metrics) {
  const int64_t now = nowMs();
  for (auto it = running_.begin(); it != running_.end();) {
    PlannedRun& run = **it;
    if (!completions_.isDone(run.serial)) {
      ++it;
      continue;
    }
    if (results_.collect(run, metrics)) {
      stopEveryRun();
    } else {
      // A transfer that left (or ended early without an error) leaves the rest of its run.
      claims_.keepRest(run);
      rates_.noteFinished(run, now);
    }
    context_.activeChunks.remove(run.request);
    // The first run's record stays for the attempt: the plan is told apart from it.
    if (&run == first_) firstKept_ = std::move(*it);
    it = running_.erase(it);
  }
  return running_.size();
}

void ChunkPlanner::runRuns(bool firstFailedEarly, DownloadMetrics& metrics) {
  // The other runs go out only after a good first answer (the length and validator are known
  // then), and only as many at once as the client runs: the rest wait in the writer's plan, so
  // memory follows the work in progress, not the claimed length.
  bool more = !firstFailedEarly;
  const auto wanted = [this] { return static_cast<size_t>(splitter_.wanted()); };
  for (;;) {
    if (!firstFailedEarly) {
      if (!stopping()) {
        rates_.track(running_, nowMs());
        splitter_.considerSplit(running_);
        splitter_.relieveSlowTransfer(running_);
      }
      resubmitRests();
    }
    if (more) more = topUp();
    const uint64_t seen = completions_.doneCount();
    size_t stillRunning = collectFinished(metrics);
    if (stopping()) more = false;
    if (!firstFailedEarly && claims_.hasRests()) {
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
    if (more && stillRunning < wanted()) continue;
    // A run still running counts itself in when it ends: the wait cannot miss it. While a split
    // may still pay, or transfers wanted have nothing to take, the planner looks again now and
    // then: at the rate, and for a run with a rest to spare.
    const bool lookAgain = !firstFailedEarly && !results_.failed() &&
                           (!splitter_.settled() || (!more && stillRunning < wanted()) ||
                            stillRunning > 1);
    completions_.waitPast(seen, lookAgain, kRecheck);
  }
}

AttemptResult ChunkPlanner::endResult() {
  // A cancel ends transfers with libcurl's abort, which reads as their failure: the host's
  // cancel is what happened.
  if (context_.cancelled.load()) return AttemptResults::cancelled();
  if (results_.failed()) return results_.failure();
  // Every run ended well yet bytes are missing (a server that sent less than its range without
  // an error): never deliver a short file. The stored bytes are good, so the next attempt resumes.
  const int64_t length = context_.writer.contentLength();
  const int64_t stored = context_.writer.downloadedLength();
  if (length >= 0 && stored != length) return AttemptResults::incomplete(stored, length);
  return results_.finish();
}

std::optional<AttemptResult> ChunkPlanner::settleStored(ChunkInfo* head, bool* confirming) {
  const bool complete = head->current == head->end;
  std::atomic<bool>* unconfirmed = context_.storedUnconfirmed;
  // A partial download's first request names the validator in its If-Range, and its answer is
  // judged against the stored validator and length: it confirms the bytes, takes the download
  // over or proves them wrong. Bytes stored without a validator cannot be confirmed by any
  // answer: they are fetched anew, unless the request's checksum will vouch for the whole at the
  // end (a mismatch then drops them).
  if (!complete) {
    if (unconfirmed != nullptr && unconfirmed->load() && context_.writer.validator().empty() &&
        context_.expected == nullptr) {
      dropUnconfirmed("a partial download without a validator");
      *head = context_.writer.firstChunk();
    }
    return std::nullopt;
  }
  if (unconfirmed == nullptr || !unconfirmed->load()) return results_.finish();
  if (!context_.writer.validator().empty()) {
    // Every byte is stored: one request for the first byte alone, on the same condition.
    *confirming = true;
    *head = context_.writer.chunkAt(0);
    return std::nullopt;
  }
  // No answer can tie bytes stored without a validator to the server's resource: only the
  // request's own checksum can vouch for them. Otherwise they are fetched anew.
  if (context_.expected != nullptr) {
    AttemptResult checked = results_.finish(true);
    if (!checked.discardStored) return checked;
    dropUnconfirmed(checked.response.errorMsg.c_str());
  } else {
    dropUnconfirmed("a complete download without a validator");
  }
  *head = context_.writer.firstChunk();
  return std::nullopt;
}

void ChunkPlanner::dropUnconfirmed(const char* why) {
  ZP_LOG(Info) << "stored bytes dropped: " << why;
  context_.writer.reset();
  if (context_.digests != nullptr) context_.digests->restart();
  context_.storedUnconfirmed->store(false);
}

AttemptResult ChunkPlanner::runAttempt(DownloadMetrics& metrics) {
  if (context_.cancelled.load()) return AttemptResults::cancelled();
  // The last attempt's stop (see stopEveryRun) must not cut this one's waits short.
  context_.writer.setWaitsInterrupted(false);
  ChunkInfo head = context_.writer.firstChunk();
  bool confirming = false;
  if (std::optional<AttemptResult> settled = settleStored(&head, &confirming)) {
    return std::move(*settled);
  }
  submitFirstRun(head, confirming, metrics);
  firstOutcome_.waitFor(*first_);
  metrics.first_response_time = nowMs() - first_->pace.submittedAtMs;
  rates_.setFirstAnswerMs(metrics.first_response_time);
  segments_.setSegmentMs(std::max(kSegmentMs, kSegmentAnswerWaits * rates_.firstAnswerMs()));
  // The chunks up to the first run's end are its own; the other workers claim those after it.
  // (The chunks before the first run are finished.)
  claims_.claimedUpTo(first_->lastChunk());
  runRuns(firstOutcome_.failed(), metrics);
  return endResult();
}

}  // namespace zephyl
