// One attempt of a chunk over libcurl, run on a transfer loop: the options of the request, the
// answer judged before any body byte is stored, the body gathered into large batches that a disk
// worker hands to the chunk's onData (one batch in flight, the next one filling, the transfer
// paused when both are full), an end within a tenth of a second of a cancellation and at the
// policy's stall time, and the body held back to the download's and the manager's rate limits.
// The retry and host rules around attempts are HttpChunkClient's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "engine/chunk_request.h"
#include "engine/chunk_workers.h"
#include "engine/proxy_route.h"
#include "engine/rate_limiter.h"
#include "engine/request_identity.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

// ChunkOutcome::errorCode values besides libcurl's result codes.
struct ChunkErrors {
  static constexpr int32_t kNoHandle = 2;          // no easy handle, or the pool refused the job
  static constexpr int32_t kHttpCode = 1000;       // status other than 200/206, or no body at all
  static constexpr int32_t kAnswerRefused = 1001;  // the answer did not fit or onConnected refused
};

// What one attempt asks for.
struct AttemptSetup {
  std::string url;      // with the alternative host put in, when one is used
  std::string range;    // Range header value; empty: none
  std::string ifRange;  // If-Range header value; empty: none
  const ZPHttpPolicy* policy = nullptr;
  bool trustPathIsDirectory = false;  // policy->caCertificatePath names a directory
  const RequestIdentity* identity = nullptr;  // headers and credentials; null: none
  const ProxyRoute* proxy = nullptr;          // the download's proxy; null: libcurl's default
  TransferLimits limits;                      // the rates the body is held to; null: none
};

// How an attempt ended, beyond what it wrote into the chunk's state.
struct AttemptEnd {
  bool started = false;     // libcurl's handles could be opened (else errorCode is kNoHandle)
  bool optionsSet = false;  // libcurl took every option: the request went out
  bool refused = false;     // the answer was refused before any byte was stored
  bool skipped = false;     // cancelled before it began: no request went out, state untouched
};

// Told once when an attempt has ended and every byte it received is stored (or refused); on a
// disk worker of the chunk's workers.
using AttemptEnded = std::function<void(const AttemptEnd& end)>;

// Starts one attempt of the chunk on workers' transfer loop and returns at once. The attempt
// fills state.answer for the answer, state.outcome's httpCode, finalStatus, errorCode, errorMsg,
// connected and the writer's failure, and state.stats' headers, cdns, remoteIps and
// downloadedSize; it stores every body byte it received through onData (on a disk worker, in
// order), whatever ended it, then tells ended. onConnected is told once for an acceptable
// answer, before its bytes, on a disk worker. firstOfJob: a cancellation seen before the attempt
// began skips it (AttemptEnd::skipped) rather than ending it as cancelled. setup's pointers must
// stay valid until ended has been told. False, with the reason in *refusal, when the loop took
// no transfer (ended is never told then). Any thread.
[[nodiscard]] bool startAttempt(ChunkWorkers& workers, ChunkRequest& request, ChunkState& state,
                                AttemptSetup setup, bool firstOfJob, AttemptEnded ended,
                                std::error_code* refusal);

}  // namespace zephyl
