// ChunkPlanner: one whole download attempt. It fetches the writer's first chunk alone until the
// first answer tells the resource's length, lets the writer plan the remaining chunks, submits
// them all to the transfer client, collects every chunk (the first failure stops the others) and
// turns the outcome into a response. Runs on the task's thread; one attempt per object.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "diagnostics/download_metrics.h"
#include "engine/active_chunks.h"
#include "engine/chunk_request.h"
#include "engine/http_chunk_client.h"
#include "sinks/data_writer.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

class ChunkPlanner {
 public:
  // Everything of the task an attempt works with; all of it outlives the planner.
  struct Context {
    const ZPRequest& request;
    DataWriter& writer;
    HttpChunkClient& client;
    ActiveChunks& activeChunks;
    const std::atomic<bool>& cancelled;
    std::function<void()> notifyProgress;  // after every stored block, on a chunk worker
  };

  explicit ChunkPlanner(Context context);
  ChunkPlanner(const ChunkPlanner&) = delete;
  ChunkPlanner& operator=(const ChunkPlanner&) = delete;

  // Runs the attempt and blocks until every chunk of it is done. Adds the attempt's statistics
  // to metrics.
  ZPResponse runAttempt(DownloadMetrics& metrics);

 private:
  // One chunk of the attempt with the planner's verdict on its answer.
  struct PlannedChunk {
    ChunkRequest request;
    ChunkState state;
    // Set on the chunk's worker before the chunk is done; read by the planner after it.
    bool rejected = false;  // the planner refused the answer; rejection tells why
    ZPResponse rejection;
  };

  PlannedChunk& addChunk(const ChunkInfo& chunk);
  std::function<std::string()> rangeProviderFor(int32_t chunkId);
  bool storeBytes(PlannedChunk& chunk, int32_t chunkId, int32_t length, const uint8_t* data);
  bool acceptFirstAnswer(PlannedChunk& chunk, int32_t httpCode, DownloadMetrics& metrics);
  bool acceptLaterAnswer(PlannedChunk& chunk);
  void offerFirstOutcome(const ZPResponse& outcome);
  void waitForFirstOutcome(const PlannedChunk& first);
  // Waits for the chunk, adds its statistics to metrics and returns its failure, if any.
  bool collect(PlannedChunk& chunk, DownloadMetrics& metrics);
  ZPResponse failureOf(const PlannedChunk& chunk, DownloadMetrics& metrics) const;
  ZPResponse finish();

  // Set at construction.
  Context context_;

  // Touched only by the planner's thread; the elements are shared with the chunk workers as the
  // chunk records say. unique_ptr keeps every record at its address while the vector grows.
  std::vector<std::unique_ptr<PlannedChunk>> chunks_;

  // The first chunk's connection outcome: the first offer wins.
  std::once_flag firstOutcomeOnce_;
  std::promise<ZPResponse> firstOutcome_;
  std::future<ZPResponse> firstOutcomeFuture_ = firstOutcome_.get_future();
};

}  // namespace zephyl
