// ChunkPlanner: one whole download attempt. It fetches every byte once, over runs of adjacent
// chunks of the writer's plan, each fetched by one transfer in bounded segments (RunSegments).
// The first request runs alone until its answer tells the resource's length and validator
// (judged by run_answers); its run then covers its share of the resource. More transfers open
// only while splitting pays, and idle workers take the ends of slow runs (RunSplitter, by the
// rates of RunRates); the chunks runs take come from RunClaims. It collects every run (the
// first failure stops the others) and turns the outcome into a result (AttemptResults), together
// with the decision whether the stored bytes are proven wrong.
// Runs on the task's thread; one attempt per object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "diagnostics/download_metrics.h"
#include "engine/active_chunks.h"
#include "engine/attempt_results.h"
#include "engine/content_digests.h"
#include "engine/first_outcome.h"
#include "engine/http_chunk_client.h"
#include "engine/planned_run.h"
#include "engine/run_claims.h"
#include "engine/run_completions.h"
#include "engine/run_rates.h"
#include "engine/run_segments.h"
#include "engine/run_splitter.h"
#include "sinks/data_writer.h"
#include "zephyl/zp_request.h"

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
    int maxRunningChunks;                  // chunks fetched at once; the client's worker count
    // Open more transfers only while the time left at the rate so far exceeds this; 0 or less
    // opens maxRunningChunks at once.
    int64_t splitThresholdMs = 2000;
    // Told on the planner's thread once every byte is stored, before the delivery's write-out
    // and rename; not told when the attempt fails or is cancelled. May be empty.
    std::function<void()> onAllStored;
    // Running digests fed with every stored block, finished before delivery (null: none).
    ContentDigests* digests = nullptr;
    // The digest the request's content must have (null: no check). Checked before delivery.
    const ExpectedDigest* expected = nullptr;
    // True while the bytes the writer held when the download began are not confirmed by the
    // server: no answer of this download has carried their validator yet (null: nothing to
    // confirm). The planner clears it on the first answer it accepts, or when it drops them.
    std::atomic<bool>* storedUnconfirmed = nullptr;
    // Asked on the first run's worker once the first answer set the resource's length, before
    // any byte is stored: a failure (the target's disk has no room) ends the attempt with it,
    // the stored bytes kept. Empty: no such check.
    std::function<ZPResponse(int64_t length)> checkRoom = nullptr;
  };

  explicit ChunkPlanner(Context context);
  // Cancels and waits for every run still running, so that no worker outlives the records it
  // uses, even when the attempt ended by an exception.
  ~ChunkPlanner();
  ChunkPlanner(const ChunkPlanner&) = delete;
  ChunkPlanner& operator=(const ChunkPlanner&) = delete;

  // Runs the attempt and blocks until every run of it is done. Adds the attempt's statistics
  // to metrics.
  AttemptResult runAttempt(DownloadMetrics& metrics);

 private:
  // Submits the attempt's first run, from head, alone. confirming: the run only confirms a
  // complete stored download (see PlannedRun::confirmsStored).
  void submitFirstRun(const ChunkInfo& head, bool confirming, DownloadMetrics& metrics);
  // A complete download stored before this one began is never delivered unless the server
  // confirms its validator. Decides what the attempt does when head (the first chunk) says every
  // byte is stored: a result already (nothing to confirm, or a checksum vouched for the bytes:
  // delivered or failed), or nothing and the first run to submit: *confirming to confirm them,
  // else from *head, the first chunk anew once the bytes had to go (no validator, no checksum).
  std::optional<AttemptResult> settleStored(ChunkInfo* head, bool* confirming);
  // Drops the stored bytes that nothing can confirm; the attempt fetches anew.
  void dropUnconfirmed(const char* why);
  // Judges the first run's answer (see run_answers.h) and offers its outcome to the planner.
  // Called on the first run's worker.
  bool acceptFirstAnswer(PlannedRun& first, int32_t httpCode, DownloadMetrics& metrics);
  // Hands out, collects and rebalances runs until none runs and none is left to hand out.
  void runRuns(bool firstFailedEarly, DownloadMetrics& metrics);
  // The attempt's result once no run runs.
  AttemptResult endResult();

  // A run from head to lastChunkId, enrolled and listed as running, not yet submitted.
  PlannedRun& addRun(const ChunkInfo& head, int32_t lastChunkId);
  // Submits a run other than the first one.
  void submitRun(PlannedRun& run);
  void submit(PlannedRun& run);
  // Hands out runs until wanted transfers run or no chunk is left; false once none is left.
  bool topUp();
  // Hands out the rests of runs whose transfers ended before their runs did, while fewer than
  // wanted transfers run.
  void resubmitRests();
  // Gives idle workers the ends of running runs (see RunSplitter::cutForIdleWorker); false when
  // none was given.
  bool steal();
  // Collects every finished run: adds its statistics to metrics, keeps the first failure, stops
  // the others after one. Returns how many runs still run.
  size_t collectFinished(DownloadMetrics& metrics);
  // A failure was collected or the host cancelled: nothing new goes out.
  bool stopping() const;
  // Cancels every running transfer and cuts short the waits of a stream's writes (see
  // DataWriter::setWaitsInterrupted).
  void stopEveryRun();
  void waitForEveryRun();

  // Set at construction.
  Context context_;
  // The planner's jobs. Each says which thread touches it.
  RunSegments segments_;
  RunRates rates_;
  RunSplitter splitter_;
  RunClaims claims_;
  AttemptResults results_;
  RunCompletions completions_;
  FirstOutcome firstOutcome_;

  // Touched only by the planner's thread; the runs are shared with their workers as PlannedRun
  // says. A collected run is released at once, so the runs in memory are the running ones only.
  PlannedRun* first_ = nullptr;          // the attempt's first run, in running_ or in firstKept_
  std::unique_ptr<PlannedRun> firstKept_;  // the first run once collected
  RunList running_;                        // submitted, not yet collected
};

}  // namespace zephyl
