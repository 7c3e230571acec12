// ChunkPlanner: one whole download attempt. Its first request runs alone until the first answer
// tells the resource's length and validator; not knowing where the resource ends, it asks for
// everything, and once the length is known its run becomes an even share of the resource. The
// remaining chunks go to the transfer client as workers free up (never more at once than the
// client runs), in runs of adjacent chunks that nobody has started, each fetched with one request
// and stored chunk by chunk. A free worker with no chunk left takes the second half of the
// largest unstarted rest of a running run. It collects every transfer (the first failure stops
// the others) and turns the outcome into a response together with the decision whether the
// stored bytes are proven wrong. Runs on the task's thread; one attempt per object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/download_metrics.h"
#include "engine/active_chunks.h"
#include "engine/chunk_request.h"
#include "engine/http_chunk_client.h"
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
};

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
  };

  explicit ChunkPlanner(Context context);
  // Cancels and waits for every chunk still running, so that no worker outlives the records it
  // uses, even when the attempt ended by an exception.
  ~ChunkPlanner();
  ChunkPlanner(const ChunkPlanner&) = delete;
  ChunkPlanner& operator=(const ChunkPlanner&) = delete;

  // Runs the attempt and blocks until every chunk of it is done. Adds the attempt's statistics
  // to metrics.
  AttemptResult runAttempt(DownloadMetrics& metrics);

 private:
  // One transfer of the attempt: a run of adjacent chunks of the writer's plan, fetched with one
  // request, with the planner's verdict on its answer.
  struct PlannedChunk {
    ChunkRequest request;
    ChunkState state;
    // The run: the chunk of the writer's plan the bytes go to now, up to lastChunkId. The
    // transfer's worker moves writerChunkId on as chunks fill; the planner's thread may shorten
    // the run (never below the chunk after writerChunkId) to hand its end to an idle worker. The
    // first chunk also changes both when it takes the whole download over.
    Mutex runMutex;
    std::atomic<int32_t> writerChunkId{0};  // written under runMutex, read anywhere
    int32_t lastChunkId GUARDED_BY(runMutex) = 0;
    // Set on the chunk's worker before the chunk is done; read by the planner after it.
    bool rejected = false;       // the planner refused the answer; rejection tells why
    bool discard = false;        // the refusal proves the stored bytes wrong
    bool emptyResource = false;  // a 416 to the first range that says the resource is empty
    ZPResponse rejection;
    // Set by addChunk before the chunk is submitted: the chunk's place in notified_.
    size_t serial = 0;
    // Set before the first submission, read by rangeOf: while the resource's length is unknown
    // the request asks for everything from its first byte on rather than for its run, so that
    // the first answer goes on past the first chunk while the other workers start; the run grows
    // into those bytes once the length is known. (An open range also spares servers that state a
    // range reaching past the end as it was asked.)
    bool askToEnd = false;
    // Set by the planner's thread: the transfer stores what it has received and ends at its next
    // store, leaving the rest of its run to a faster connection. yielded is set on the worker
    // when it did, and read by the planner after the chunk is done.
    std::atomic<bool> yieldRequested{false};
    bool yielded = false;
    // Touched only by the planner's thread: when the transfer was handed its run and the offset
    // its range started at.
    int64_t submittedAtMs = 0;
    int64_t submittedFrom = 0;
    // When the transfer's answer was accepted and the offset it started at, to tell how fast the
    // transfer goes: the wait for the answer says how far the server is, not how fast the
    // connection is. Written on the chunk's worker (answeredFrom first), read by the planner;
    // answeredAtMs is 0 before the first answer.
    std::atomic<int64_t> answeredAtMs{0};
    std::atomic<int64_t> answeredFrom{0};
    // Touched only by the planner's thread: false for the rest of a run whose transfer yielded.
    // Such a rest is never asked to yield again: a server that stalls every answer would
    // otherwise see a new request for every few bytes.
    bool mayYield = true;
  };

  // A transfer of the run from chunk to lastChunkId.
  PlannedChunk& addChunk(const ChunkInfo& chunk, int32_t lastChunkId);
  // The next chunk of the plan nobody has claimed (the one a run left over first); false when
  // none is left.
  bool claimNext(int32_t* afterChunkId, ChunkInfo* chunk);
  // The last chunk of a run that starts with head: as many adjacent, unstarted chunks as make an
  // even share of what is left for the workers without a run.
  int32_t claimRun(const ChunkInfo& head, int32_t* afterChunkId);
  // Chunks in a run of one request: what is left from offset on, in chunks of block bytes, shared
  // evenly by workers, and at most the run cap.
  int64_t shareOf(int64_t offset, int64_t block, int64_t workers);
  // Lengthens the first chunk's run by the adjacent, unstarted chunks after it, up to an even
  // share of the whole resource. Requires: the length is known and no other chunk of the attempt
  // has been handed out (the planner waits for the first outcome, or has not submitted the first
  // chunk yet).
  void growFirstRun(PlannedChunk& first);
  // Moves the transfer to the next chunk of its run; false at the run's end.
  bool advance(PlannedChunk& chunk);
  // The range of the transfer's next attempt: from the first byte its run still needs.
  std::string rangeOf(PlannedChunk& chunk);
  // The first chunk of the run that its transfer has not received a byte of (lastChunkId + 1
  // when it has reached them all); never the chunk being filled.
  int32_t firstUnreachedChunk(PlannedChunk& chunk) REQUIRES(chunk.runMutex);
  // Gives an idle worker the second half of the unreached rest of the running run that would
  // take longest to finish, unless even that one ends before a new request could help; false
  // when no run has a chunk to spare or none is worth it.
  bool steal();
  // No run has a chunk to spare, yet a worker is idle: asks the transfer that would take longest
  // to finish its run, when a connection as fast as the fastest one so far would finish it
  // clearly sooner, to end at its next store; its rest is handed out again once it has (see
  // collectFinished). At most one such request at a time; true when one is outstanding.
  bool askSlowestToYield();
  // Notes that the transfer's answer was accepted now (see PlannedChunk::answeredAtMs).
  static void noteAnswer(PlannedChunk& chunk);
  // Bytes per millisecond the transfer has received since its answer came; 0 before an answer
  // and while the answer is less than minSampleMs old.
  double rateOf(const PlannedChunk& chunk, int64_t nowMs, int64_t minSampleMs);
  // How long the transfer would take to finish its run, at its rate so far (at the fastest rate
  // seen while it ran too briefly to tell); infinity when no rate is known at all.
  double remainingMsOf(PlannedChunk& chunk, int64_t nowMs);
  void submitRun(PlannedChunk& chunk);
  void submitChunk(PlannedChunk& chunk);
  bool storeBytes(PlannedChunk& chunk, int32_t length, const uint8_t* data);
  bool acceptFirstAnswer(PlannedChunk& chunk, int32_t httpCode, DownloadMetrics& metrics);
  bool judgeFirstAnswer(PlannedChunk& chunk, int32_t httpCode, ZPResponse* outcome);
  bool acceptLaterAnswer(PlannedChunk& chunk);
  // The first chunk's answer carries the whole resource from byte 0 and the stored bytes cannot
  // be continued by it: they are dropped and this chunk takes the download over.
  bool takeOver(PlannedChunk& chunk, int64_t length, ZPResponse* outcome);
  void reject(PlannedChunk& chunk, const ZPResponse& why, bool discard);
  void offerFirstOutcome(const ZPResponse& outcome);
  void waitForFirstOutcome(const PlannedChunk& first);
  // Hands out chunks until maxRunningChunks run or none is left; false once none is left.
  bool topUp(int32_t* afterChunkId);
  // Collects every finished chunk: adds its statistics to metrics, keeps the first failure,
  // stops the others after one. Returns how many chunks still run.
  size_t collectFinished(DownloadMetrics& metrics);
  bool isFailure(const PlannedChunk& chunk) const;
  AttemptResult failureOf(const PlannedChunk& chunk, DownloadMetrics& metrics);
  AttemptResult finish();
  void waitForEveryChunk();
  bool everyRunningChunkNotified() const REQUIRES(doneMutex_);

  // Set at construction.
  Context context_;

  // Touched only by the planner's thread; the elements are shared with the chunk workers as the
  // chunk records say. unique_ptr keeps every record at its address; a collected record is
  // released at once, so the records in memory are the running chunks only.
  PlannedChunk* first_ = nullptr;  // the attempt's first chunk, in running_ or in firstKept_
  std::unique_ptr<PlannedChunk> firstKept_;           // the first chunk once collected
  std::list<std::unique_ptr<PlannedChunk>> running_;  // submitted, not yet collected
  std::unique_ptr<AttemptResult> failure_;            // the first failure collected
  std::unique_ptr<ChunkInfo> carried_;  // claimed from the writer but not fitting the last run
  // The fastest rate (bytes per millisecond) a finished transfer of the attempt reached, and the
  // time the first answer took: what a transfer that takes over a slow one's rest can expect.
  double fastestRate_ = 0;
  int64_t firstAnswerMs_ = 0;
  PlannedChunk* yielding_ = nullptr;  // asked to yield, not yet collected

  // Chunk completion: every chunk's onDone counts here, under doneMutex_.
  Mutex doneMutex_;
  ConditionVariable doneSignal_;  // with doneMutex_: a chunk's onDone ran
  // Guarded by doneMutex_.
  uint64_t finishedCount_ GUARDED_BY(doneMutex_) = 0;
  // By serial, every chunk of the attempt: its onDone ran, the worker is done with it. A flag per
  // chunk ever added, so that onDone only sets one and never allocates.
  std::vector<bool> notified_ GUARDED_BY(doneMutex_);

  // The first chunk's connection outcome: the first offer wins. Once offered, the first chunk no
  // longer takes the download over (the other chunks may be running).
  std::atomic<bool> firstOutcomeOffered_{false};
  std::once_flag firstOutcomeOnce_;
  std::promise<ZPResponse> firstOutcome_;
  std::future<ZPResponse> firstOutcomeFuture_ = firstOutcome_.get_future();
};

}  // namespace zephyl
