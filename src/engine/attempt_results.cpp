#include "engine/attempt_results.h"

#include <utility>

#include "diagnostics/log.h"
#include "engine/http_chunk_client.h"
#include "engine/lasting_failure.h"
#include "engine/run_answers.h"

namespace zephyl {
namespace {

void merge(const ChunkState& state, DownloadMetrics& metrics) {
  metrics.domains.insert(state.stats.domains.begin(), state.stats.domains.end());
  metrics.remoteIp.insert(state.stats.remoteIps.begin(), state.stats.remoteIps.end());
  metrics.cdn.insert(state.stats.cdns.begin(), state.stats.cdns.end());
  metrics.download_size += state.stats.downloadedSize;
  metrics.download_time += state.stats.endTimeMs;
}

bool isFailure(const PlannedRun& run) {
  if (run.verdict.emptyResource) return false;
  return run.state.outcome.errorCode != 0 || run.verdict.rejected;
}

AttemptResult responseOnly(ZPResponse response) {
  AttemptResult result;
  result.response = std::move(response);
  return result;
}

}  // namespace

bool AttemptResults::collect(const PlannedRun& run, DownloadMetrics& metrics) {
  const ChunkState& state = run.state;
  merge(state, metrics);
  const auto lastModified = state.stats.headers.find("last-modified");
  if (lastModified != state.stats.headers.end()) lastModified_ = lastModified->second;
  if (answerStatus_ == 0 && state.outcome.finalStatus > 0) {
    answerStatus_ = state.outcome.finalStatus;
    answerHeaders_ = state.stats.headers;
  }
  const bool failed = isFailure(run);
  if (failed && failure_ == nullptr) {
    failure_ = std::make_unique<AttemptResult>(failureOf(run, metrics));
    failure_->httpCode = state.outcome.finalStatus;
    failure_->headers = state.stats.headers;
  }
  // A failure without an answer of its own (a transfer stopped before its answer came) takes the
  // download's first answer, collected before or after it: the host learns what the server said.
  if (failure_ != nullptr && failure_->httpCode == 0 && answerStatus_ > 0) {
    failure_->httpCode = answerStatus_;
    failure_->headers = answerHeaders_;
  }
  return failed;
}

AttemptResult AttemptResults::failureOf(const PlannedRun& run, DownloadMetrics& metrics) const {
  AttemptResult result;
  const ChunkState& state = run.state;
  if (run.verdict.rejected) {
    metrics.client_extra_error_code = run.verdict.rejection.extraErrorCode;
    result.response = run.verdict.rejection;
    result.discardStored = run.verdict.discard;
    // A target without room for the file stays so for a repeat a few seconds later.
    result.lasting = run.verdict.rejection.cause == ZPResponse::CAUSE_DISK_FULL;
    return result;
  }
  // A server that answers a range past byte 0 with the whole resource: it ignores ranges, or its
  // resource changed and it answered the If-Range with the new one. Either way the stored bytes
  // cannot be continued by it.
  if (state.outcome.answerRefused && state.outcome.httpCode == 200) {
    metrics.client_extra_error_code = ZPResponse::EXECUTE_ERROR;
    result.response = ignoresRanges();
    result.discardStored = true;
    return result;
  }
  // 416: the range lies past the resource's end. That proves the stored bytes wrong when the
  // range lies inside the length they were stored for, or the answer states a total the range
  // starts past: the resource shrank.
  if (state.outcome.finalStatus == 416) {
    const int64_t known = writer_.contentLength();
    const bool shrank =
        (known > 0 && state.answer.requestedStart >= 0 && state.answer.requestedStart < known) ||
        (state.answer.contentRangeTotal >= 0 &&
         state.answer.contentRangeTotal <= state.answer.requestedStart);
    metrics.client_extra_error_code = 416;
    result.response =
        withCause(cacheError(416, "range not satisfiable: the stored download no longer fits"),
                  ZPResponse::CAUSE_SERVER_STATUS);
    result.discardStored = shrank;
    return result;
  }
  result.response = HttpChunkClient::classify(state, &metrics);
  result.lasting = !state.history.writeFailed &&
                   isLastingFailure(state.outcome.finalStatus, state.outcome.errorCode);
  return result;
}

AttemptResult AttemptResults::cancelled() {
  return responseOnly(ZPResponse(ZPResponse::RESULT_CANCELLED, 0, ""));
}

AttemptResult AttemptResults::incomplete(int64_t stored, int64_t length) {
  return responseOnly(
      withCause(ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::BLOCK_HTTP_NETWORK_ERROR,
                           "incomplete download: " + std::to_string(stored) + " of " +
                               std::to_string(length) + " bytes"),
                ZPResponse::CAUSE_SERVER_WRONG_LENGTH));
}

bool AttemptResults::checkContent(AttemptResult* result) {
  ContentDigests* digests = delivery_.digests;
  const ExpectedDigest* expected = delivery_.expected;
  if (digests == nullptr || !digests->wantsAny()) return true;
  int64_t length = writer_.contentLength();
  if (length <= 0) length = writer_.downloadedLength();
  if (!digests->finish(writer_, length, &result->digests) && expected != nullptr &&
      result->digests.of(expected->algorithm).empty()) {
    // The stored bytes could not be read back (or the platform refused the digest): they stay,
    // and the next attempt only checks and delivers.
    result->response = cacheError(ZPResponse::EXECUTE_ERROR, "cannot compute the content's " +
                                                                 std::string(digestName(
                                                                     expected->algorithm)));
    return false;
  }
  ZP_LOG(Debug) << "content digests: " << digests->readBackBytes() << " bytes read back in all";
  if (expected == nullptr) return true;
  ZPResponse verdict = checkDigest(*expected, result->digests);
  if (verdict.isSuccess()) return true;
  ZP_LOG(Warn) << "content rejected: " << verdict.errorMsg;
  result->response = std::move(verdict);
  result->contentRejected = true;
  return false;
}

AttemptResult AttemptResults::finish(bool storedUnconfirmed) {
  if (delivery_.onAllStored && !storedUnconfirmed) delivery_.onAllStored();
  AttemptResult result;
  result.response = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  result.lastModified = lastModified_;
  result.httpCode = answerStatus_;
  result.headers = answerHeaders_;
  // The check runs before delivery: content that fails it never reaches the target.
  if (!checkContent(&result)) {
    if (storedUnconfirmed && result.contentRejected) {
      // Not the server's answer that failed: bytes of an earlier download, maybe of an older
      // version of the resource. They go, and the server's are fetched.
      result.contentRejected = false;
      result.discardStored = true;
    }
    return result;
  }
  if (delivery_.onAllStored && storedUnconfirmed) delivery_.onAllStored();
  // A failed delivery keeps the complete download: the next attempt only delivers.
  const Status delivered = writer_.moveToSaveDir(delivery_.request, &result.response);
  if (!delivered.isOk()) result.response = cacheError(delivered.code(), delivered.message());
  return result;
}

}  // namespace zephyl
