#include "engine/run_rates.h"

#include <algorithm>
#include <limits>

#include "diagnostics/utilities.h"
#include "sinks/chunk_plan.h"

namespace zephyl {

void RunRates::noteAnswer(PlannedRun& run) {
  if (run.pace.answeredAtMs.load(std::memory_order_relaxed) != 0) return;
  run.pace.answeredFrom.store(std::max<int64_t>(0, run.state.answer.requestedStart),
                              std::memory_order_relaxed);
  run.pace.answeredAtMs.store(nowMs(), std::memory_order_release);
}

double RunRates::rateOf(const PlannedRun& run, int64_t now, int64_t minSampleMs) {
  const int64_t answeredAt = run.pace.answeredAtMs.load(std::memory_order_acquire);
  if (answeredAt == 0) return 0;
  const int64_t elapsed = now - answeredAt;
  if (elapsed < minSampleMs || elapsed <= 0) return 0;
  const int64_t received = run.state.receivedUpTo.load(std::memory_order_relaxed) -
                           run.pace.answeredFrom.load(std::memory_order_relaxed);
  return static_cast<double>(std::max<int64_t>(0, received)) / static_cast<double>(elapsed);
}

int64_t RunRates::sampleMs() const {
  return std::max<int64_t>(kMinStealSampleMs, 2 * firstAnswerMs_);
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
