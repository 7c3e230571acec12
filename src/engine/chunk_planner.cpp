#include "engine/chunk_planner.h"

#include <chrono>
#include <string>
#include <utility>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"

namespace zephyl {
namespace {

constexpr auto kFirstOutcomePoll = std::chrono::milliseconds(20);

void merge(const ChunkState& state, DownloadMetrics& metrics) {
  metrics.domains.insert(state.domains.begin(), state.domains.end());
  metrics.remoteIp.insert(state.remoteIps.begin(), state.remoteIps.end());
  metrics.cdn.insert(state.cdns.begin(), state.cdns.end());
  metrics.download_size += state.downloadedSize;
  metrics.download_time += state.endTimeMs;
}

// onConnected is also told when a chunk ends without an accepted answer (cancelled, failed, or an
// answer the client refused); only an accepted 200 or 206 answer is judged.
bool isAcceptedAnswer(const ChunkState& state, int32_t httpCode) {
  return (httpCode == 200 || httpCode == 206) && !state.answerRefused;
}

ZPResponse cacheError(int code, const std::string& message) {
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::CACHE_ERROR, message);
  response.extraErrorCode = code;
  return response;
}

}  // namespace

ChunkPlanner::ChunkPlanner(Context context) : context_(std::move(context)) {}

std::function<std::string()> ChunkPlanner::rangeProviderFor(int32_t chunkId) {
  DataWriter& writer = context_.writer;
  // Asked afresh at every attempt of the chunk, so a retry starts after the bytes stored.
  return [&writer, chunkId]() {
    const ChunkInfo chunk = writer.chunkAt(chunkId);
    std::string range = std::to_string(chunk.current) + "-";
    if (chunk.end > chunk.current) range += std::to_string(chunk.end - 1);
    return range;
  };
}

ChunkPlanner::PlannedChunk& ChunkPlanner::addChunk(const ChunkInfo& info) {
  chunks_.push_back(std::make_unique<PlannedChunk>());
  PlannedChunk& chunk = *chunks_.back();
  chunk.request.url = context_.request.url;
  chunk.request.chunkId = info.chunkId;
  chunk.request.rangeProvider = rangeProviderFor(info.chunkId);
  chunk.state.onData = [this, &chunk](int32_t chunkId, int32_t length, const uint8_t* data) {
    return storeBytes(chunk, chunkId, length, data);
  };
  return chunk;
}

bool ChunkPlanner::storeBytes(PlannedChunk& chunk, int32_t chunkId, int32_t length,
                              const uint8_t* data) {
  ChunkState& state = chunk.state;
  if (!context_.writer.write(chunkId, length, const_cast<unsigned char*>(data),
                             &state.writeErrorCode, &state.writeErrorMsg)) {
    state.writeFailed = true;
    return false;
  }
  context_.notifyProgress();
  return true;
}

void ChunkPlanner::offerFirstOutcome(const ZPResponse& outcome) {
  std::call_once(firstOutcomeOnce_, [this, &outcome] { firstOutcome_.set_value(outcome); });
}

// The first answer decides the plan. The client has already checked that the answer starts at the
// byte the range asked for; here the length is checked against what the writer holds. A server
// that answers the first range with 200 ignores ranges: the whole download then stays on this one
// connection, since answers to further ranges would be the resource from byte 0 again.
bool ChunkPlanner::acceptFirstAnswer(PlannedChunk& chunk, int32_t httpCode,
                                     DownloadMetrics& metrics) {
  const ChunkState& state = chunk.state;
  const int64_t length = state.totalLengthKnown ? state.contentLength : -1;
  metrics.http_code = httpCode;
  metrics.content_length = state.contentLength;
  ZPResponse outcome;
  bool accepted = true;
  int code = 0;
  std::string message;
  if (!isAcceptedAnswer(state, httpCode)) {
    // The chunk ended without an answer to plan from; its own failure tells why.
    outcome = ZPResponse(ZPResponse::RESULT_FAILED, 0, "");
  } else if (length < 0 && httpCode == 206 && state.requestedEnd >= 0) {
    // Part of a resource of unknown size: neither its end nor the other ranges can be planned.
    outcome = cacheError(ZPResponse::CACHE_ERROR, "contentLength unknown");
    accepted = false;
  } else if (!context_.writer.setContentLength(length, &code, &message)) {
    outcome = cacheError(code, message);
    accepted = false;
  } else if (httpCode == 200 && length >= 0 &&
             !context_.writer.coverWholeResource(chunk.request.chunkId)) {
    outcome = cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges");
    accepted = false;
  } else if (length == 0) {
    outcome = ZPResponse(ZPResponse::RESULT_FAILED, 0, "content length is 0");
    accepted = false;
  }
  if (!accepted) {
    chunk.rejected = true;
    chunk.rejection = outcome;
  }
  offerFirstOutcome(outcome);
  ZP_LOG(Debug) << "first chunk connect success " << httpCode << " " << state.contentLength;
  return accepted;
}

// Later chunks must belong to the same resource: a stated total that differs from the known
// length means the resource changed (or the server lies), and its bytes are never written.
bool ChunkPlanner::acceptLaterAnswer(PlannedChunk& chunk) {
  const ChunkState& state = chunk.state;
  const int64_t known = context_.writer.contentLength();
  if (state.totalLengthKnown && state.contentLength == known) return true;
  chunk.rejected = true;
  chunk.rejection = cacheError(ZPResponse::CACHE_ERROR, "contentLength error: " +
                                                            std::to_string(state.contentLength) +
                                                            " " + std::to_string(known));
  return false;
}

void ChunkPlanner::waitForFirstOutcome(const PlannedChunk& first) {
  // Every path that ends the first chunk offers an outcome first; watching the chunk's own done
  // signal as well guarantees the wait ends even if one did not.
  while (firstOutcomeFuture_.wait_for(kFirstOutcomePoll) != std::future_status::ready) {
    if (first.state.doneFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      return;
    }
  }
}

bool ChunkPlanner::collect(PlannedChunk& chunk, DownloadMetrics& metrics) {
  chunk.state.doneFuture.wait();
  merge(chunk.state, metrics);
  return chunk.state.errorCode != 0 || chunk.rejected;
}

ZPResponse ChunkPlanner::failureOf(const PlannedChunk& chunk, DownloadMetrics& metrics) const {
  if (chunk.rejected) {
    metrics.client_extra_error_code = chunk.rejection.extraErrorCode;
    return chunk.rejection;
  }
  // A server that answers a range past byte 0 with the whole resource cannot resume this
  // download: a file error makes the task start over from nothing.
  const ChunkState& state = chunk.state;
  if (state.answerRefused && state.httpCode == 200) {
    metrics.client_extra_error_code = ZPResponse::EXECUTE_ERROR;
    return cacheError(ZPResponse::EXECUTE_ERROR, "server ignores ranges");
  }
  // 416: the range lies past the resource's end; a resource that shrank since its bytes were
  // stored. Those bytes cannot be continued: a file error makes the task start over.
  if (state.finalStatus == 416) {
    metrics.client_extra_error_code = 416;
    return cacheError(416, "range not satisfiable: the stored download no longer fits");
  }
  return HttpChunkClient::classify(state, &metrics);
}

ZPResponse ChunkPlanner::finish() {
  ZPResponse response(ZPResponse::RESULT_SUCCESS, 0, "");
  int code = 0;
  std::string message;
  if (context_.writer.moveToSaveDir(context_.request, &response, &code, &message)) return response;
  return cacheError(code, message);
}

ZPResponse ChunkPlanner::runAttempt(DownloadMetrics& metrics) {
  if (context_.cancelled.load()) return ZPResponse(ZPResponse::RESULT_CANCELLED, 0, "");
  const ChunkInfo firstInfo = context_.writer.firstChunk();
  if (firstInfo.current == firstInfo.end) return finish();

  PlannedChunk& first = addChunk(firstInfo);
  first.state.onConnected = [this, &first, &metrics](int32_t httpCode, int64_t) {
    return acceptFirstAnswer(first, httpCode, metrics);
  };
  context_.activeChunks.add(first.request);
  ZP_LOG(Debug) << "submit first chunk" << firstInfo.start << "," << firstInfo.current << ","
                << firstInfo.end;
  const int64_t startMs = nowMs();
  context_.client.submit(first.request, first.state);

  waitForFirstOutcome(first);
  metrics.first_response_time = nowMs() - startMs;
  const bool firstFailedEarly =
      firstOutcomeFuture_.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
      firstOutcomeFuture_.get().getResultCode() != ZPResponse::RESULT_SUCCESS;

  // Fan out only after a good first answer: the plan is complete and trusted then.
  if (!firstFailedEarly) {
    for (const ChunkInfo& info : context_.writer.unfinishedChunks(firstInfo.chunkId)) {
      PlannedChunk& chunk = addChunk(info);
      chunk.state.onConnected = [this, &chunk](int32_t httpCode, int64_t) {
        return !isAcceptedAnswer(chunk.state, httpCode) || acceptLaterAnswer(chunk);
      };
      context_.activeChunks.add(chunk.request);
      context_.client.submit(chunk.request, chunk.state);
    }
  }

  const PlannedChunk* failed = nullptr;
  for (auto& chunk : chunks_) {
    if (collect(*chunk, metrics)) {
      if (failed == nullptr) failed = chunk.get();
      context_.activeChunks.cancelAll();
    }
  }
  context_.activeChunks.clear();

  if (failed != nullptr) return failureOf(*failed, metrics);
  if (context_.cancelled.load()) return ZPResponse(ZPResponse::RESULT_CANCELLED, 0, "");
  // Every chunk ended well yet bytes are missing (a server that sent less than its range without
  // an error): never deliver a short file. Not a file error, so the next attempt resumes.
  const int64_t length = context_.writer.contentLength();
  const int64_t stored = context_.writer.downloadedLength();
  if (length >= 0 && stored != length) {
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::BLOCK_HTTP_NETWORK_ERROR,
                      "incomplete download: " + std::to_string(stored) + " of " +
                          std::to_string(length) + " bytes");
  }
  return finish();
}

}  // namespace zephyl
