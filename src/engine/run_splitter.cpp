#include "engine/run_splitter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "sinks/chunk_plan.h"

namespace zephyl {
namespace {

// The total rate is measured over at least this long (and three first answers' waits) before a
// split is decided; whether the transfers added last raised it, over the longer one.
constexpr int64_t kMinRateWindowMs = 50;
constexpr int64_t kMinGainWindowMs = 100;
// The first transfer's rate before its burst is over is told over this long at least (and three
// first answers' waits).
constexpr int64_t kMinEarlyWindowMs = 20;
// ... and over this many bytes at least, as is a window too short to be steady.
constexpr int64_t kMinEarlySampleBytes = 64 * 1024;

}  // namespace

RunSplitter::RunSplitter(Limits limits, DataWriter& writer, const TransferLimits& transferLimits,
                         RunRates& rates, RunSegments& segments)
    : limits_{std::max(1, limits.maxTransfers), limits.splitThresholdMs},
      writer_(writer),
      transferLimits_(transferLimits),
      rates_(rates),
      segments_(segments) {
  // Without a split threshold every transfer opens at once, each with an even share.
  if (limits_.splitThresholdMs <= 0) {
    wanted_ = limits_.maxTransfers;
    settled_ = true;
  }
  segments_.setTransfersWanted(wanted_);
}

int64_t RunSplitter::measuredWindowMs(const RunList& runs, int64_t now, bool* steady) {
  // The window opens once every wanted transfer is past its first burst: a connection still
  // being set up, or one whose server sends its answer's start at once, tells neither the link
  // nor the limit. Old and new transfers are measured over the same window.
  size_t past = 0;
  int64_t total = 0;
  for (const auto& run : runs) {
    if (run->pace.steadyAtMs.load(std::memory_order_acquire) != 0) ++past;
    total += run->state.receivedUpTo.load(std::memory_order_relaxed);
  }
  // A window covers the same transfers from its start to its end; one that ended or began
  // meanwhile starts it again.
  bool sameTransfers = past == static_cast<size_t>(windowMembers_);
  for (const auto& run : runs) sameTransfers = sameTransfers && run->pace.inWindow;
  if (past < static_cast<size_t>(wanted_) || !sameTransfers) windowStartMs_ = 0;
  if (past < static_cast<size_t>(wanted_)) return 0;
  if (windowStartMs_ == 0) {
    windowStartMs_ = now;
    windowMembers_ = static_cast<int>(runs.size());
    windowHolds_ = transferLimits_.holds();
    windowTotal_ = total;
    windowMovedAtMs_ = now;
    windowLongestPauseMs_ = 0;
    for (const auto& run : runs) {
      run->pace.inWindow = true;
      run->pace.windowFrom = run->state.receivedUpTo.load(std::memory_order_relaxed);
    }
    return 0;
  }
  if (total != windowTotal_) {
    windowLongestPauseMs_ = std::max(windowLongestPauseMs_, now - windowMovedAtMs_);
    windowMovedAtMs_ = now;
    windowTotal_ = total;
  }
  const int64_t elapsed = now - windowStartMs_;
  // Whether the transfers added last raised the rate is told over a longer window than the time
  // left: a new connection's first bytes come unevenly.
  const int64_t windowMs = wanted_ > 1 ? kMinGainWindowMs : kMinRateWindowMs;
  if (elapsed < std::max<int64_t>(windowMs, 3 * rates_.firstAnswerMs())) return 0;
  // A server that sends in steps (a limit kept per second, say) shows its rate only over several
  // of its pauses: a shorter window saw a step or none by chance.
  const int64_t pause = std::max(windowLongestPauseMs_, now - windowMovedAtMs_);
  *steady = elapsed >= kPausesPerSample * pause;
  return elapsed;
}

RunSplitter::Gain RunSplitter::lastAddGain(const RunList& runs, int64_t elapsedMs,
                                           double rate) const {
  if (wanted_ <= 1) return Gain::kPaid;
  // What the transfers that ran before the last split received in the window, and the others.
  int64_t receivedByEarlier = 0;
  int64_t receivedByAdded = 0;
  for (const auto& run : runs) {
    const int64_t received = std::max<int64_t>(
        0, run->state.receivedUpTo.load(std::memory_order_relaxed) - run->pace.windowFrom);
    (run->pace.bornAtSplit >= splits_ ? receivedByAdded : receivedByEarlier) += received;
  }
  const int before = wanted_ - addedLast_;
  const double elapsed = static_cast<double>(elapsedMs);
  const double earlierRate = static_cast<double>(receivedByEarlier) / elapsed;
  if (!rateBeforeSteady_) {
    // The rate before the last split came from too short a window to compare with this one: the
    // transfers are compared within this window instead. Those added paid when each got half of
    // what an earlier one gets at least. (On a link that the earlier ones filled they share it
    // evenly too: the next split's window, told over a steady window first, settles it.)
    const double addedRate = static_cast<double>(receivedByAdded) / elapsed;
    return addedRate / addedLast_ >= 0.5 * earlierRate / before ? Gain::kPaid : Gain::kLost;
  }
  // The transfers added last must have raised the total by half a fair share of one connection
  // each at least. Less says the link (or the server) is full already, when the earlier
  // transfers lost what the new ones got; when they kept their rate, the new ones are slow on
  // their own, and the others take their rest over in time.
  const double fairShare = rateBeforeLastAdd_ / before;
  const bool earlierKeptTheirRate = earlierRate >= 0.9 * rateBeforeLastAdd_;
  return rate - rateBeforeLastAdd_ >= 0.5 * fairShare * addedLast_ || earlierKeptTheirRate
             ? Gain::kPaid
             : Gain::kLost;
}

bool RunSplitter::splitBeforeBurstEnds(const RunList& runs, int64_t now, int64_t length) {
  if (wanted_ != 1 || runs.size() != 1) return false;
  const PlannedRun& run = *runs.front();
  const int64_t answeredAt = run.pace.answeredAtMs.load(std::memory_order_acquire);
  if (answeredAt == 0 || run.pace.steadyAtMs.load(std::memory_order_relaxed) != 0) return false;
  const int64_t elapsed = now - answeredAt;
  if (elapsed < std::max<int64_t>(kMinEarlyWindowMs, 3 * rates_.firstAnswerMs())) return false;
  const int64_t received = run.state.receivedUpTo.load(std::memory_order_relaxed) -
                           run.pace.answeredFrom.load(std::memory_order_relaxed);
  // A few bytes say little of the link (a busy machine may not have read the rest yet): the split
  // waits for a sample that bytes can tell. A slow link shows its rate in the steady window.
  if (received < kMinEarlySampleBytes) return false;
  const double rate = static_cast<double>(received) / static_cast<double>(elapsed);
  const double leftMs = rate > 0 ? static_cast<double>(length - writer_.downloadedLength()) / rate
                                 : std::numeric_limits<double>::infinity();
  if (leftMs <= static_cast<double>(limits_.splitThresholdMs)) return false;
  split(rate, leftMs, false);
  return true;
}

void RunSplitter::considerSplit(const RunList& runs) {
  if (settled()) return;
  const int64_t length = writer_.contentLength();
  if (length <= 0) return;
  if (splitBeforeBurstEnds(runs, nowMs(), length)) return;
  bool steady = false;
  const int64_t elapsed = measuredWindowMs(runs, nowMs(), &steady);
  if (elapsed == 0) return;
  // A rate limit held the transfers back in the window: more transfers would share the same
  // limit and gain nothing. Nothing is settled, so that splitting resumes from a fresh window
  // once the limit is raised or lifted.
  if (transferLimits_.holds() != windowHolds_) {
    windowStartMs_ = 0;
    return;
  }
  int64_t received = 0;
  for (const auto& run : runs) {
    received += std::max<int64_t>(
        0, run->state.receivedUpTo.load(std::memory_order_relaxed) - run->pace.windowFrom);
  }
  // A short window with few bytes in it tells nothing yet (the machine may have been busy
  // elsewhere): it goes on until it is steady or its bytes can tell a rate.
  if (!steady && received < kMinEarlySampleBytes) return;
  const double rate = static_cast<double>(received) / static_cast<double>(elapsed);
  // A window too short to be steady may say that splitting pays (a low rate leaves a long time;
  // new transfers got their share), never that it stops paying: a step missed would settle the
  // split for good. The window then goes on until it is steady.
  if (lastAddGain(runs, elapsed, rate) == Gain::kLost) {
    if (!steady) return;
    ZP_LOG(Debug) << "split settled at " << wanted_ << " transfers: the last added "
                  << static_cast<int64_t>((rate - rateBeforeLastAdd_) * 1000) << " B/s";
    settled_ = true;
    return;
  }
  const int64_t stored = writer_.downloadedLength();
  // The time left only shrinks: once it is below the threshold, no later split pays either.
  const double leftMs = rate > 0 ? static_cast<double>(length - stored) / rate
                                 : std::numeric_limits<double>::infinity();
  if (leftMs <= static_cast<double>(limits_.splitThresholdMs)) {
    if (!steady) return;
    ZP_LOG(Debug) << "split settled at " << wanted_ << " transfers: "
                  << static_cast<int64_t>(leftMs) << " ms left";
    settled_ = true;
    return;
  }
  windowStartMs_ = 0;
  split(rate, leftMs, steady);
}

void RunSplitter::split(double rate, double leftMs, bool steady) {
  rateBeforeLastAdd_ = rate;
  rateBeforeSteady_ = steady;
  rates_.setConnectionRate(rate / wanted_);
  // As many again as run now at least, and as many as would each still have more than the split
  // threshold's time to work if every one got the rate one has now (up to the most): a link
  // that gives every connection its own rate reaches it in one or two windows, and the next
  // window tells whether they paid.
  const double keepsBusy = leftMs * wanted_ / static_cast<double>(limits_.splitThresholdMs);
  const int most = limits_.maxTransfers;
  const int target = keepsBusy >= most ? most : std::max(2 * wanted_, static_cast<int>(keepsBusy));
  addedLast_ = std::min(target, most) - wanted_;
  wanted_ += addedLast_;
  ++splits_;
  segments_.setTransfersWanted(wanted_);
  // No byte in the window leaves an endless time: said as such, not as a number.
  const std::string left = std::isinf(leftMs) ? std::string("no bytes yet")
                                              : std::to_string(static_cast<int64_t>(leftMs)) +
                                                    " ms left";
  ZP_LOG(Debug) << "split: " << wanted_ << " transfers, " << left << " at "
                << static_cast<int64_t>(rate * 1000) << " B/s"
                << (steady ? "" : " (not steady yet)");
}

void RunSplitter::relieveSlowTransfer(const RunList& runs) {
  // A stream's next byte must always be being fetched: a run left to wait for a free worker
  // could wait behind transfers that themselves wait for room in the stream's reorder buffer.
  if (writer_.streams() || runs.size() < 2) return;
  const int64_t now = nowMs();
  const int64_t firstAnswerMs = rates_.firstAnswerMs();
  const int64_t sampleMs = std::max<int64_t>(4 * kMinStealSampleMs, 3 * firstAnswerMs);
  double fastest = 0;
  for (const auto& run : runs) fastest = std::max(fastest, RunRates::rateOf(*run, now, sampleMs));
  if (fastest <= 0) return;
  for (const auto& running : runs) {
    PlannedRun& run = *running;
    if (!run.pace.mayLeave || run.pace.leaveRest.load(std::memory_order_relaxed)) continue;
    const double rate = RunRates::rateOf(run, now, sampleMs);
    if (rate <= 0 || rate * 4 > fastest) continue;
    // Worth it only when its rest is more than a new request's wait at the fastest rate.
    const int64_t rest = chunkLimit(writer_.chunkAt(run.lastChunk()), writer_.contentLength()) -
                         run.state.receivedUpTo.load(std::memory_order_relaxed);
    if (static_cast<double>(rest) / fastest <= 4.0 * static_cast<double>(firstAnswerMs)) continue;
    ZP_LOG(Debug) << "chunkId: " << run.request.chunkId << " leaves its rest: "
                  << static_cast<int64_t>(rate * 1000) << " B/s beside "
                  << static_cast<int64_t>(fastest * 1000) << " B/s";
    run.pace.mayLeave = false;
    run.pace.leaveRest = true;
    run.request.dropConnection = true;
  }
}

PlannedRun* RunSplitter::longestRun(const RunList& runs, int64_t now, double* longestMs) {
  // Among the runs with a chunk their transfer has not asked for yet; the most such chunks
  // breaks a tie.
  PlannedRun* victim = nullptr;
  int64_t spare = 0;
  *longestMs = -1;
  for (const auto& running : runs) {
    PlannedRun& run = *running;
    int64_t rest = 0;
    {
      MutexLock lock(run.runMutex);
      rest = int64_t{run.lastChunkId} - segments_.firstUnrequestedChunk(run) + 1;
    }
    if (rest <= 0) continue;
    const double ms = rates_.remainingMsOf(run, now);
    if (ms > *longestMs || (ms == *longestMs && rest > spare)) {
      spare = rest;
      *longestMs = ms;
      victim = &run;
    }
  }
  return victim;
}

std::optional<RunCut> RunSplitter::cutForIdleWorker(const RunList& runs) {
  for (;;) {
    const int64_t now = nowMs();
    double longestMs = -1;
    PlannedRun* victim = longestRun(runs, now, &longestMs);
    // A new request's answer takes about as long as the first one's did (a connection to set up
    // first, perhaps): the end of a run that its own transfer finishes within two of those stays
    // with it, as a link that one transfer fills gains nothing from another one's wait.
    if (victim == nullptr || longestMs <= 2.0 * static_cast<double>(rates_.firstAnswerMs())) {
      return std::nullopt;
    }
    // Looked at again under the lock that the transfer asks for its segments under: the cut
    // never reaches a byte it has asked for.
    MutexLock lock(victim->runMutex);
    const int64_t rest = int64_t{victim->lastChunkId} - segments_.firstUnrequestedChunk(*victim) + 1;
    if (rest <= 0) continue;  // its transfer got there meanwhile
    RunCut cut;
    cut.last = victim->lastChunkId;
    cut.first = static_cast<int32_t>(cut.last - rates_.takenChunks(*victim, rest, now) + 1);
    cut.victimChunkId = victim->request.chunkId;
    victim->lastChunkId = cut.first - 1;
    return cut;
  }
}

}  // namespace zephyl
