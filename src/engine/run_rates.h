// RunRates: the rate estimates of an attempt's transfers, what splitting and stealing decide by.
// A transfer's rate counts from the end of its first burst: a server with a limit per request
// often sends the start of its answer at once (and a connection's slow start holds the start
// back), so the first moments tell neither the link nor the limit. The burst is over at the
// first pause in the transfer's bytes, or after a warm-up of a few first answers' waits. A rate
// is told only over several of the longest pauses seen since, so that a server sending in steps
// looks neither fast nor stopped by chance. Keeps the fastest rate a finished transfer reached
// and the first answer's wait: what a transfer taking over another's rest can expect.
// noteAnswer runs on the workers; everything else on the planner's thread.
#pragma once

#include <cstdint>

#include "engine/planned_run.h"
#include "sinks/data_writer.h"

namespace zephyl {

// A transfer's rate is told only once it has been past its burst this long.
constexpr int64_t kMinStealSampleMs = 50;
// A rate is told over this many times the longest pause in the bytes at least.
constexpr int64_t kPausesPerSample = 4;

class RunRates {
 public:
  explicit RunRates(DataWriter& writer) : writer_(writer) {}
  RunRates(const RunRates&) = delete;
  RunRates& operator=(const RunRates&) = delete;

  // Notes that the run's answer was accepted now (see RunPace::answeredAtMs); only the first
  // answer of a run counts. Called on the run's worker.
  static void noteAnswer(PlannedRun& run);
  // Looks at every run's bytes: notes their pauses, and marks the end of each answered run's
  // first burst (see RunPace::steadyAtMs).
  void track(const RunList& runs, int64_t nowMs) const;
  // Bytes per millisecond the run has received since its first burst; 0 before, and while that
  // is less than minSampleMs ago or less than kPausesPerSample of its longest pause.
  static double rateOf(const PlannedRun& run, int64_t nowMs, int64_t minSampleMs);

  // How long the run's transfer would take to finish its run, at its rate so far (at the fastest
  // rate seen while it ran too briefly to tell); infinity when no rate is known at all.
  double remainingMsOf(PlannedRun& run, int64_t nowMs) const;
  // Chunks of a victim's unrequested rest (rest of them) an idle worker takes: a share by the
  // two transfers' rates, at least one.
  int64_t takenChunks(const PlannedRun& victim, int64_t rest, int64_t nowMs) const;
  // A run was collected that ended well: its rate over its whole run counts as reached.
  void noteFinished(const PlannedRun& run, int64_t nowMs);

  // The first answer's wait, and the rate one connection of the attempt reaches (bytes per
  // millisecond; 0 while unknown), as the split measured it.
  void setFirstAnswerMs(int64_t ms) { firstAnswerMs_ = ms; }
  int64_t firstAnswerMs() const { return firstAnswerMs_; }
  void setConnectionRate(double rate) { connectionRate_ = rate; }

 private:
  // A rate sample spans two first answers' waits at least: some round trips.
  int64_t sampleMs() const;
  // A transfer without a pause is past its burst (and its slow start) this long after its answer.
  int64_t warmUpMs() const;

  // Set at construction.
  DataWriter& writer_;
  // Touched only by the planner's thread.
  double fastestRate_ = 0;
  double connectionRate_ = 0;
  int64_t firstAnswerMs_ = 0;
};

}  // namespace zephyl
