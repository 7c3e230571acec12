#include "engine/progress_pace.h"

namespace zephyl {

bool ProgressPace::due(int64_t downloaded, int64_t total, int64_t nowMs, bool final) {
  if (downloaded <= lastReported_) return false;
  const bool complete = final || (total > 0 && downloaded >= total);
  if (!complete && reportedOnce_ && nowMs - lastReportMs_ < kMinGapMs) return false;
  lastReported_ = downloaded;
  lastReportMs_ = nowMs;
  reportedOnce_ = true;
  return true;
}

}  // namespace zephyl
