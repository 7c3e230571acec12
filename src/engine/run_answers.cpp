#include "engine/run_answers.h"

#include "diagnostics/log.h"
#include "engine/answer_judge.h"
#include "sinks/chunk_plan.h"

namespace zephyl {
namespace {

ZPResponse validatorChanged(const std::string& stored, const std::string& answered) {
  return withCause(
      cacheError(ZPResponse::CACHE_ERROR, "validator changed: " + answered + " " + stored),
      ZPResponse::CAUSE_RESOURCE_CHANGED);
}

void reject(PlannedRun& run, const ZPResponse& why, bool discard) {
  run.verdict.rejected = true;
  run.verdict.rejection = why;
  run.verdict.discard = discard;
}

// The first run's answer carries the whole resource from byte 0 and the stored bytes cannot be
// continued by it: they are dropped and this run takes the download over.
bool takeOver(DataWriter& writer, PlannedRun& run, int64_t length, ZPResponse* outcome) {
  if (!writer.canStartOver()) {
    // The whole resource answers a resumed stream: the bytes handed over cannot be taken back.
    reject(run,
           withCause(ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::STREAM_ERROR,
                                "the server sent the whole resource to a resumed range"),
                     ZPResponse::CAUSE_SERVER_IGNORES_RANGES),
           true);
    *outcome = run.verdict.rejection;
    return false;
  }
  ZP_LOG(Info) << "stored bytes dropped: the server sent the whole resource, length " << length;
  writer.reset();
  const ChunkInfo fresh = writer.firstChunk();
  const Status set = writer.setContentLength(length);
  if (!set.isOk()) {
    reject(run, cacheError(set.code(), set.message()), false);
  } else if (length > 0 && !writer.coverWholeResource(fresh.chunkId)) {
    reject(run, ignoresRanges(), false);
  }
  if (run.verdict.rejected) {
    *outcome = run.verdict.rejection;
    return false;
  }
  {
    MutexLock lock(run.runMutex);
    run.writerChunkId = fresh.chunkId;
    run.lastChunkId = fresh.chunkId;
  }
  if (!run.state.answer.validator.empty()) writer.setValidator(run.state.answer.validator);
  *outcome = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  return true;
}

// A first answer that neither takes over nor contradicts the stored bytes sets the length; a 200
// with a known length must be able to cover the whole resource with the run.
void planFromFirstAnswer(DataWriter& writer, PlannedRun& run, int32_t httpCode, int64_t length) {
  const ChunkAnswer& answer = run.state.answer;
  if (length < 0 && httpCode == 206 && (answer.requestedEnd >= 0 || run.beforeLength)) {
    // Part of a resource of unknown size: neither its end nor the other ranges can be planned.
    reject(run,
           withCause(cacheError(ZPResponse::CACHE_ERROR, kUnknownLengthMessage),
                     ZPResponse::CAUSE_SERVER_BAD_ANSWER),
           false);
    return;
  }
  const Status set = writer.setContentLength(length);
  if (!set.isOk()) {
    reject(run, cacheError(set.code(), set.message()), false);
  } else if (httpCode == 200 && length > 0 && !writer.coverWholeResource(run.writerChunkId.load())) {
    reject(run, ignoresRanges(), true);
  }
}

}  // namespace

ZPResponse cacheError(int code, const std::string& message) {
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::CACHE_ERROR, message);
  response.extraErrorCode = code;
  return response;
}

ZPResponse withCause(ZPResponse response, int32_t cause) {
  response.cause = cause;
  return response;
}

ZPResponse ignoresRanges() {
  return withCause(cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges"),
                   ZPResponse::CAUSE_SERVER_IGNORES_RANGES);
}

bool isAcceptedAnswer(const ChunkState& state, int32_t httpCode) {
  return isDataStatus(httpCode) && !state.outcome.answerRefused;
}

bool saysEmptyResource(const ChunkState& state, int32_t httpCode) {
  return httpCode == 416 && state.answer.contentRangeTotal == 0 && state.answer.requestedStart == 0;
}

bool acceptEmptyResource(DataWriter& writer, PlannedRun& run, int32_t httpCode) {
  if (!saysEmptyResource(run.state, httpCode) || writer.lengthConflicts(0) ||
      !writer.setContentLength(0).isOk()) {
    return false;
  }
  run.verdict.emptyResource = true;
  return true;
}

// The first answer decides the plan, alone: no other run is out yet. The client has already
// checked that a 206 starts at the byte the range asked for; here the answer is checked against
// what the writer holds. A 200 is the whole resource: it continues the stored bytes only when the
// range started at byte 0, and otherwise takes the download over (a server that ignores ranges,
// or one whose resource changed and that answered the If-Range with the new one).
bool judgeFirstAnswer(DataWriter& writer, PlannedRun& run, int32_t httpCode, ZPResponse* outcome) {
  const ChunkAnswer& answer = run.state.answer;
  const int64_t length = answer.totalLengthKnown ? answer.contentLength : -1;
  const std::string stored = writer.validator();
  const bool validatorMatches = stored.empty() || answer.validator == stored;
  const bool lengthMatches = !writer.lengthConflicts(length);
  if (httpCode == 200 && (answer.requestedStart != 0 || !validatorMatches || !lengthMatches)) {
    return takeOver(writer, run, length, outcome);
  }
  if (!validatorMatches) {
    reject(run, validatorChanged(stored, answer.validator), true);
  } else if (!lengthMatches) {
    reject(run,
           withCause(cacheError(ZPResponse::CACHE_ERROR,
                                contentLengthErrorMessage(length, writer.contentLength())),
                     ZPResponse::CAUSE_RESOURCE_CHANGED),
           true);
  } else {
    planFromFirstAnswer(writer, run, httpCode, length);
  }
  if (run.verdict.rejected) {
    *outcome = run.verdict.rejection;
    return false;
  }
  // Bytes stored without a validator (or none yet) are kept with this answer's from now on.
  if (stored.empty() && !answer.validator.empty()) writer.setValidator(answer.validator);
  *outcome = ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  return true;
}

// Later runs must belong to the same resource: another stated total or another validator means
// the resource changed (or the server lies), and their bytes are never written.
bool acceptLaterAnswer(DataWriter& writer, PlannedRun& run) {
  const ChunkAnswer& answer = run.state.answer;
  if (!answer.rangeHonoured) {
    // The whole resource (200) for a range past byte 0: it cannot continue the stored bytes.
    reject(run, ignoresRanges(), true);
    return false;
  }
  const std::string stored = writer.validator();
  if (!stored.empty() && answer.validator != stored) {
    reject(run, validatorChanged(stored, answer.validator), true);
    return false;
  }
  const int64_t known = writer.contentLength();
  if (answer.totalLengthKnown && answer.contentLength == known) return true;
  reject(run,
         withCause(cacheError(ZPResponse::CACHE_ERROR,
                              contentLengthErrorMessage(answer.contentLength, known)),
                   answer.totalLengthKnown ? ZPResponse::CAUSE_RESOURCE_CHANGED
                                           : ZPResponse::CAUSE_SERVER_WRONG_LENGTH),
         answer.totalLengthKnown);
  return false;
}

}  // namespace zephyl
