#include "engine/run_rates.h"

#include <algorithm>
#include <limits>

#include "diagnostics/utilities.h"
#include "sinks/chunk_plan.h"

namespace zephyl {
namespace {

// No byte for this long after some came ends a transfer's first burst.
constexpr int64_t kBurstPauseMs = 20;
// Without a pause, a transfer is past its burst once its answer is this old (and four first
// answers' waits: a slow start grows its window once per round trip).
constexpr int64_t kWarmUpMs = 50;
constexpr int64_t kWarmUpAnswerWaits = 4;

}  // namespace

void RunRates::noteAnswer(PlannedRun& run) {
  if (run.pace.answeredAtMs.load(std::memory_order_relaxed) != 0) return;
  run.pace.answeredFrom.store(std::max<int64_t>(0, run.state.answer.requestedStart),
                              std::memory_order_relaxed);
  run.pace.answeredAtMs.store(nowMs(), std::memory_order_release);
}

void RunRates::track(const RunList& runs, int64_t now) const {
  for (const auto& running : runs) {
    PlannedRun& run = *running;
    RunPace& pace = run.pace;
    const int64_t answeredAt = pace.answeredAtMs.load(std::memory_order_acquire);
    if (answeredAt == 0) continue;
    const int64_t bytes = run.state.receivedUpTo.load(std::memory_order_relaxed);
    const bool steady = pace.steadyAtMs.load(std::memory_order_relaxed) != 0;
    if (pace.seenBytes < 0) {
      pace.movedAtMs = now;
    } else if (bytes != pace.seenBytes) {
      if (steady) pace.longestPauseMs = std::max(pace.longestPauseMs, now - pace.movedAtMs);
      pace.movedAtMs = now;
    }
    pace.seenBytes = bytes;
    if (steady) continue;
    // A pause after the first bytes ends the burst where its last bytes came: the pause is part
    // of the rate that follows.
    const bool sentSome = bytes > pace.answeredFrom.load(std::memory_order_relaxed);
    int64_t at = 0;
    if (sentSome && now - pace.movedAtMs >= kBurstPauseMs) {
      at = pace.movedAtMs;
    } else if (now - answeredAt >= warmUpMs()) {
      at = now;
    }
    if (at == 0) continue;
    pace.steadyFrom.store(bytes, std::memory_order_relaxed);
    pace.steadyAtMs.store(at, std::memory_order_release);
  }
}

double RunRates::rateOf(const PlannedRun& run, int64_t now, int64_t minSampleMs) {
  const int64_t steadyAt = run.pace.steadyAtMs.load(std::memory_order_acquire);
  if (steadyAt == 0) return 0;
  const int64_t elapsed = now - steadyAt;
  const int64_t pause = std::max(run.pace.longestPauseMs, now - run.pace.movedAtMs);
  if (elapsed <= 0 || elapsed < minSampleMs || elapsed < kPausesPerSample * pause) return 0;
  const int64_t received = run.state.receivedUpTo.load(std::memory_order_relaxed) -
                           run.pace.steadyFrom.load(std::memory_order_relaxed);
  return static_cast<double>(std::max<int64_t>(0, received)) / static_cast<double>(elapsed);
}

int64_t RunRates::sampleMs() const {
  return std::max<int64_t>(kMinStealSampleMs, 2 * firstAnswerMs_);
}

int64_t RunRates::warmUpMs() const {
  return std::max<int64_t>(kWarmUpMs, kWarmUpAnswerWaits * firstAnswerMs_);
}

double RunRates::remainingMsOf(PlannedRun& run, int64_t now) const {
  const int64_t remaining = chunkLimit(writer_.chunkAt(run.lastChunk()), writer_.contentLength()) -
                            run.state.receivedUpTo.load(std::memory_order_relaxed);
  // A transfer without an answer, or one too recent to tell, is taken to be as fast as the
  // fastest so far.
  double rate = rateOf(run, now, sampleMs());
  if (rate <= 0) rate = fastestRate_;
  if (rate <= 0) return std::numeric_limits<double>::infinity();
  return static_cast<double>(std::max<int64_t>(0, remaining)) / rate;
}

int64_t RunRates::takenChunks(const PlannedRun& victim, int64_t rest, int64_t now) const {
  // Shared by rate, so that both transfers end about together: a connection as fast as the
  // attempt's take most of a slow one's rest. Half when either rate is unknown.
  const double victimRate = rateOf(victim, now, sampleMs());
  const double thiefRate = std::max(fastestRate_, connectionRate_);
  double share = 0.5;
  if (victimRate > 0 && thiefRate > 0) share = thiefRate / (thiefRate + victimRate);
  const auto taken = static_cast<int64_t>(static_cast<double>(rest) * share + 0.5);
  return std::clamp<int64_t>(taken, 1, rest);
}

void RunRates::noteFinished(const PlannedRun& run, int64_t now) {
  // A short transfer's rate is blurred by its answer's wait: low, never too high.
  const double elapsed = static_cast<double>(std::max<int64_t>(1, now - run.pace.submittedAtMs));
  fastestRate_ =
      std::max(fastestRate_, static_cast<double>(run.state.stats.downloadedSize) / elapsed);
  connectionRate_ = std::max(connectionRate_, fastestRate_);
}

}  // namespace zephyl
