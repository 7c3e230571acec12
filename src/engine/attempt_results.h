// AttemptResults: what the runs of an attempt come back with, and the attempt's result. Each
// collected run adds its statistics to the metrics; the first failure is kept; once every byte
// is stored, the content is checked and delivered. One thread, the planner's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "diagnostics/download_metrics.h"
#include "engine/content_digests.h"
#include "engine/planned_run.h"
#include "sinks/data_writer.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

// What one attempt ended with.
struct AttemptResult {
  ZPResponse response;
  // The stored bytes are proven wrong (another length or validator, a server that ignores ranges
  // on a resume, a resource that shrank): the task drops them before the next attempt. Nothing
  // else drops them; a failed write or delivery keeps what is stored.
  bool discardStored = false;
  // The Last-Modified value of the attempt's answers (the last one collected that had it), empty
  // when none carried one.
  std::string lastModified;
  // The content's digests computed before delivery (see ChunkPlanner::Context::digests); empty
  // when none.
  ContentDigest digests;
  // The content failed the request's check: it is not delivered and must be dropped; another
  // attempt would fetch the same bytes again.
  bool contentRejected = false;
  // The failure is one the same request would meet again (see engine/lasting_failure.h).
  bool lasting = false;
  // The status and header lines (names in lower case) of the attempt's first answer that was
  // collected, or of the failing answer when a transfer failed for good; 0 and none when no
  // answer came.
  int32_t httpCode = 0;
  std::map<std::string, std::string> headers;
};

class AttemptResults {
 public:
  // What finishing an attempt works with; all of it outlives this object. onAllStored may be
  // empty; digests and expected may be null (see ChunkPlanner::Context).
  struct Delivery {
    const ZPRequest& request;
    std::function<void()> onAllStored;
    ContentDigests* digests = nullptr;
    const ExpectedDigest* expected = nullptr;
  };

  AttemptResults(DataWriter& writer, Delivery delivery)
      : writer_(writer), delivery_(std::move(delivery)) {}
  AttemptResults(const AttemptResults&) = delete;
  AttemptResults& operator=(const AttemptResults&) = delete;

  // Collects a run its worker is done with: its statistics go into metrics, its answer's status,
  // headers and Last-Modified are noted, and a failure is kept when it is the first. Returns
  // whether the run failed.
  bool collect(const PlannedRun& run, DownloadMetrics& metrics);
  bool failed() const { return failure_ != nullptr; }
  // The first failure collected; requires failed().
  const AttemptResult& failure() const { return *failure_; }

  // The host cancelled the attempt.
  static AttemptResult cancelled();
  // Every run ended well yet stored bytes are not length bytes.
  static AttemptResult incomplete(int64_t stored, int64_t length);
  // Every byte is stored: the content's check, then the delivery. storedUnconfirmed: the bytes
  // were stored by an earlier download and only the request's checksum can vouch for them;
  // content that fails it is then not rejected but proven stale (discardStored), and the
  // attempt goes on to fetch it anew (onAllStored is told only once the check passed).
  AttemptResult finish(bool storedUnconfirmed = false);

 private:
  AttemptResult failureOf(const PlannedRun& run, DownloadMetrics& metrics) const;
  // Finishes the wanted digests into result->digests and checks the request's own. False with
  // result->response set when the content must not be delivered.
  bool checkContent(AttemptResult* result);

  // Set at construction.
  DataWriter& writer_;
  const Delivery delivery_;
  // Touched only by the planner's thread.
  std::unique_ptr<AttemptResult> failure_;  // the first failure collected
  std::string lastModified_;                // see AttemptResult::lastModified
  // See AttemptResult::httpCode and headers: the first collected answer's.
  int32_t answerStatus_ = 0;
  std::map<std::string, std::string> answerHeaders_;
};

}  // namespace zephyl
