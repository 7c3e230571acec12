// RunSplitter: how many transfers an attempt runs at once, and which work they share. Another
// transfer is opened only while splitting pays: while the time left at the total rate measured
// so far exceeds the split threshold, as long as the transfers added last raised that rate by at
// least half a fair share each (every split doubles them at least, and opens as many as would
// each have more than the threshold's time to work at the rate one has now), and while no rate
// limit held the transfers back (the limit, not the link, sets the rate then); never more than
// the most allowed. Rates are measured over one window for old and new transfers alike, opened
// once every one of them is past its first burst (see RunRates); only a window long enough to
// be steady may settle the split. An idle worker takes the end of the unrequested rest of the
// run that would take longest to finish, shared by the two transfers' rates; a transfer far
// slower than the fastest one is asked to leave its rest. One thread, the planner's.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/planned_run.h"
#include "engine/run_rates.h"
#include "engine/run_segments.h"
#include "engine/rate_limiter.h"
#include "sinks/data_writer.h"

namespace zephyl {

// The end of a running run cut off for an idle worker: chunks first to last, taken from the run
// whose request has victimChunkId.
struct RunCut {
  int32_t first = 0;
  int32_t last = 0;
  int32_t victimChunkId = 0;
};

class RunSplitter {
 public:
  struct Limits {
    int maxTransfers;  // transfers at once, at least 1
    // Split only while the time left at the rate so far exceeds this; 0 or less opens
    // maxTransfers at once.
    int64_t splitThresholdMs;
  };

  RunSplitter(Limits limits, DataWriter& writer, const TransferLimits& transferLimits,
              RunRates& rates, RunSegments& segments);
  RunSplitter(const RunSplitter&) = delete;
  RunSplitter& operator=(const RunSplitter&) = delete;

  // The transfers the attempt runs at once now, and the splits made so far.
  int wanted() const { return wanted_; }
  int splits() const { return splits_; }
  // No split may pay any more (or the most run already): the planner need not look at the rate.
  bool settled() const { return settled_ || wanted_ >= limits_.maxTransfers; }

  // Measures the total rate with the runs running now and decides whether one more transfer
  // pays; raises wanted() when it does.
  void considerSplit(const RunList& runs);
  // Asks a transfer far slower than the fastest one to leave the rest of its run (see
  // RunPace::leaveRest), when a faster connection would clearly finish it sooner.
  void relieveSlowTransfer(const RunList& runs);
  // The end of the unrequested rest of the run that would take longest to finish, cut off that
  // run for an idle worker; none when no run has a chunk to spare or even the longest one ends
  // before a new request could help.
  std::optional<RunCut> cutForIdleWorker(const RunList& runs);

 private:
  enum class Gain { kPaid, kLost };
  // Splits on the first transfer's rate from its answer on, while its first burst may not be
  // over: a burst can only make the time left look shorter, so such a rate may open more
  // transfers, never settle the split. True when it split.
  bool splitBeforeBurstEnds(const RunList& runs, int64_t nowMs, int64_t length);
  // Opens the rate window once every wanted transfer is past its first burst, and starts it
  // again when the transfers changed. Returns the window's length in ms once it is long enough
  // to decide on, else 0; *steady then tells whether it spans several of the longest pauses in
  // the bytes' arrival.
  int64_t measuredWindowMs(const RunList& runs, int64_t nowMs, bool* steady);
  // Whether the transfers added last raised the total rate enough (or are slow on their own).
  Gain lastAddGain(const RunList& runs, int64_t elapsedMs, double rate) const;
  // steady: the rate came from a steady window, to compare the next one with.
  void split(double rate, double leftMs, bool steady);
  // The run with a chunk to spare its transfer would take longest to finish, and that time.
  PlannedRun* longestRun(const RunList& runs, int64_t nowMs, double* longestMs);

  // Set at construction.
  const Limits limits_;
  DataWriter& writer_;
  const TransferLimits& transferLimits_;
  RunRates& rates_;
  RunSegments& segments_;

  // Touched only by the planner's thread. The transfers wanted now, how many the last split
  // added, whether adding more has been given up, the total rate measured before the last one
  // was added and whether its window was steady, the splits made, and the current rate window
  // (start 0: not started): when it opened, how many transfers it measures, the rate limits'
  // hold count then, the transfers' bytes at the last look, when they last moved and the
  // longest pause between two moves.
  int wanted_ = 1;
  int addedLast_ = 0;
  bool settled_ = false;
  double rateBeforeLastAdd_ = 0;
  bool rateBeforeSteady_ = false;
  int splits_ = 0;
  int64_t windowStartMs_ = 0;
  int windowMembers_ = 0;
  int64_t windowHolds_ = 0;
  int64_t windowTotal_ = 0;
  int64_t windowMovedAtMs_ = 0;
  int64_t windowLongestPauseMs_ = 0;
};

}  // namespace zephyl
