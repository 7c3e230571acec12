// ProgressPace: decides which progress reports of one download reach its listeners. A report is
// due when bytes were stored since the last one and at least kMinGapMs have passed, or when the
// download is complete; a stalled download (nothing new) reports nothing, and a count lower than
// one already reported (a download started over) is held back until it passes it again, so that
// listeners never see progress go backwards. One thread at a time: the caller holds the lock
// that also keeps the reports in order.
#pragma once

#include <cstdint>

namespace zephyl {

class ProgressPace {
 public:
  // At most 20 reports a second.
  static constexpr int64_t kMinGapMs = 50;

  // True when downloaded (of total, negative when unknown) at steady time nowMs is to be
  // reported, and then records it as reported. final marks the report at the download's end,
  // which needs no gap.
  bool due(int64_t downloaded, int64_t total, int64_t nowMs, bool final);

 private:
  int64_t lastReported_ = -1;
  int64_t lastReportMs_ = 0;
  bool reportedOnce_ = false;
};

}  // namespace zephyl
