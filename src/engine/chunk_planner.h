// ChunkPlanner: one whole download attempt. It fetches every byte once: each request asks for a
// bounded segment of its run, about what its connection fetches in a second at the rate measured
// so far, and the next segment follows on the same worker (and connection) when that one ends.
// A run is only ever cut past the segment its transfer has asked for, so no request asks for a
// byte that is stored or that another transfer is fetching, and no transfer is stopped with bytes
// in flight. The first request runs alone until its answer tells the resource's length and
// validator; its run then covers the rest of the resource. Another transfer is opened only while
// splitting pays: while the time left at the total rate measured so far exceeds the split
// threshold, and as long as the transfers added last raised that rate by at least half a fair
// share each (every split doubles them), and while no rate limit held the transfers back (the
// limit, not the link, sets the rate then); never more than maxRunningChunks at once. A new transfer
// takes the first unclaimed chunks of the writer's plan, or the end of the unrequested rest of the
// run that would take longest to finish, shared by the two transfers' rates. It collects every transfer (the first failure stops the others) and turns the
// outcome into a response together with the decision whether the stored bytes are proven wrong.
// Runs on the task's thread; one attempt per object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/download_metrics.h"
#include "engine/active_chunks.h"
#include "engine/chunk_request.h"
#include "engine/content_digests.h"
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
  // The Last-Modified value of the attempt's answers (the last one collected that had it), empty
  // when none carried one.
  std::string lastModified;
  // The content's digests computed before delivery (see Context::digests); empty when none.
  ContentDigest digests;
  // The content failed the request's check: it is not delivered and must be dropped; another
  // attempt would fetch the same bytes again.
  bool contentRejected = false;
  // The status and header lines (names in lower case) of the attempt's first answer that was
  // collected, or of the failing answer when a transfer failed for good; 0 and none when no
  // answer came.
  int32_t httpCode = 0;
  std::map<std::string, std::string> headers;
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
    // Set before the first submission, read by rangeOf: the request goes out before the
    // resource's length is known, so its first segment is asked by size from its first byte
    // rather than by the run (the run grows into those bytes once the length is known).
    bool beforeLength = false;
    // One past the last byte the transfer's current request asks for (INT64_MAX for an open
    // range): the run is never cut before it. Set by rangeOf on the worker, read by the planner.
    int64_t requestedUpTo GUARDED_BY(runMutex) = 0;
    // Touched only by the planner's thread: when the transfer was handed its run and the offset
    // its range started at.
    int64_t submittedAtMs = 0;
    int64_t submittedFrom = 0;
    // When the transfer's first answer was accepted and the offset it started at, to tell how
    // fast the transfer goes over all its segments: the wait for the first answer says how far
    // the server is, not how fast the connection is. Written on the chunk's worker (answeredFrom
    // first), read by the planner; answeredAtMs is 0 before the first answer.
    std::atomic<int64_t> answeredAtMs{0};
    std::atomic<int64_t> answeredFrom{0};
    // Touched only by the planner's thread, for the split's rate window: the splits made before
    // the transfer was added, whether it is measured in the current window, and where its bytes
    // stood when that window opened.
    int bornAtSplit = 0;
    bool inWindow = false;
    int64_t windowFrom = 0;
    // Set by the planner's thread when the transfer is far slower than the fastest one: it ends
    // after its current segment, and the rest of its run goes out again on another connection.
    // mayLeave is false for such a rest, so that answers that are all slow at first are not
    // asked for again and again.
    std::atomic<bool> leaveRest{false};
    bool mayLeave = true;
  };

  // Cancels every running transfer and cuts short the waits of a stream's writes (see
  // DataWriter::setWaitsInterrupted).
  void stopEveryChunk();
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
  // The range of the transfer's next request: its next segment, from the first byte its run
  // still needs (see the class comment). Called on the worker before every attempt.
  std::string rangeOf(PlannedChunk& chunk);
  // Bytes the transfer's next segment asks for: about a second at its rate, one chunk before its
  // rate is known.
  int64_t segmentBytesOf(const PlannedChunk& chunk, int64_t blockBytes);
  // The run has bytes its transfer has not asked for yet: the worker asks for them next, on the
  // same connection. Called on the worker after a request ended well.
  bool hasMore(PlannedChunk& chunk);
  // The first chunk of the run past every byte its transfer has asked for (lastChunkId + 1 when
  // it has asked for them all); never the chunk being filled.
  int32_t firstUnrequestedChunk(PlannedChunk& chunk) REQUIRES(chunk.runMutex);
  // Gives an idle worker the end of the unrequested rest of the running run that would take
  // longest to finish (see takenChunks), unless even that one ends before a new request could
  // help; false when no run has a chunk to spare or none is worth it.
  bool steal();
  // Chunks of a victim's unrequested rest (rest of them) an idle worker takes: a share by the
  // two transfers' rates, at least one.
  int64_t takenChunks(const PlannedChunk& victim, int64_t rest, int64_t now);
  // Asks a transfer far slower than the fastest one to leave the rest of its run (see
  // PlannedChunk::leaveRest), when a faster connection would clearly finish it sooner.
  void relieveSlowTransfer();
  // Hands out the rests of runs whose transfers ended before their runs did, while fewer than
  // wanted_ transfers run.
  void resubmitRests();
  // Measures the total rate with the transfers running now and decides whether one more pays
  // (see the class comment); raises wanted_ when it does.
  void considerSplit();
  // Notes that the transfer's answer was accepted now (see PlannedChunk::answeredAtMs); only the
  // first answer of a transfer counts.
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
  // Hands out chunks until wanted_ transfers run or none is left; false once none is left.
  bool topUp(int32_t* afterChunkId);
  // Collects every finished chunk: adds its statistics to metrics, keeps the first failure,
  // stops the others after one. Returns how many chunks still run.
  size_t collectFinished(DownloadMetrics& metrics);
  bool isFailure(const PlannedChunk& chunk) const;
  AttemptResult failureOf(const PlannedChunk& chunk, DownloadMetrics& metrics);
  // Every byte is stored: the content's check (checkContent), then the delivery.
  AttemptResult finish();
  // Finishes the wanted digests into result->digests and checks the request's own. False with
  // result->response set when the content must not be delivered.
  bool checkContent(AttemptResult* result);
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
  // Runs (first and last chunk) that lost their transfer before they were finished, waiting to
  // go out again.
  std::vector<std::pair<int32_t, int32_t>> rests_;
  // The fastest rate (bytes per millisecond) a finished transfer of the attempt reached, and the
  // time the first answer took: what a transfer that takes over a slow one's rest can expect.
  double fastestRate_ = 0;
  int64_t firstAnswerMs_ = 0;
  std::string lastModified_;  // see AttemptResult::lastModified
  // See AttemptResult::httpCode and headers: the first collected answer's.
  int32_t answerStatus_ = 0;
  std::map<std::string, std::string> answerHeaders_;
  // Splitting: the transfers the attempt runs at once now (at most maxRunningChunks), how many
  // the last split added, whether
  // adding more has been given up, the total rate measured before the last one was added, and
  // the window the current measurement started (0: not started; it starts once every wanted
  // transfer has its answer).
  int wanted_ = 1;
  int addedLast_ = 0;  // transfers the last split added
  // Read by the workers: a segment's duration (set once the first answer's wait is known), and
  // the rate one connection of the attempt reaches (bytes per millisecond; 0 while unknown), what
  // a transfer that takes over a run's end can expect. Written by the planner's thread.
  std::atomic<int64_t> segmentMs_{1000};
  std::atomic<double> connectionRate_{0};
  std::atomic<int> transfersWanted_{1};  // wanted_, for the workers
  bool splitSettled_ = false;
  double rateBeforeLastAdd_ = 0;
  int64_t windowStartMs_ = 0;
  int windowMembers_ = 0;  // transfers measured in the window
  int64_t windowHolds_ = 0;  // the client's rate limits' hold count when the window opened
  int splits_ = 0;         // splits made so far

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
