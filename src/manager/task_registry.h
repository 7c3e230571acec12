// TaskRegistry: all shared mutable state of a download manager and the operations on it: the
// tasks running per file key, the keys waiting for a cancelled predecessor, the queue of pending
// requests and the task pool that drains it. Every copy of a Zephyl shares one registry.
// Thread-safe: any operation from any thread, including from request callbacks, since no
// callback and no file or network I/O runs while registryMutex is held. Every host callback is
// called through callHost, so one that throws changes nothing but a log line.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/digest.h"
#include "engine/file_download_task.h"
#include "engine/thread_pool.h"
#include "manager/underway_requests.h"
#include "storage/file_storage_manager.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

class BatchTracker;

class TaskRegistry : public std::enable_shared_from_this<TaskRegistry> {
 public:
  // The file key of a URL; empty when it cannot be computed (the request then fails).
  using FileKeyFunction = std::function<std::string(const std::string&)>;

  // Starts twice taskThreadNum (clamped to 1..256) task threads with startThread (empty:
  // std::thread); holds the storage manager of settings.rootDir (FileStorageManager::hold) until
  // it is destroyed. Queued requests run on them, taskThreadNum of them transferring at once (see
  // taskThreadPool_). When the root refuses its cache limits, every request fails (setupError).
  TaskRegistry(const ZPSetting& settings, FileKeyFunction fileKeyFunction,
               ThreadPool::ThreadStarter startThread = nullptr);
  ~TaskRegistry();
  TaskRegistry(const TaskRegistry&) = delete;
  TaskRegistry& operator=(const TaskRegistry&) = delete;

  // A registry whose last Zephyl handle shuts it down (see shutdown) before it is released.
  static std::shared_ptr<TaskRegistry> createHandle(
      const ZPSetting& settings, FileKeyFunction fileKeyFunction,
      ThreadPool::ThreadStarter startThread = nullptr);

  // Empty when the registry works; otherwise why every request fails with CACHE_ERROR (another
  // manager uses the storage root with other cache limits).
  const std::string& setupError() const { return setupError_; }

  ZPResponse execute(ZPRequest request) EXCLUDES(registryMutex_);
  // Queues request for the task pool. When no task thread can be started for it, the request
  // does not wait for one: its onComplete gets RESULT_FAILED, EXECUTE_ERROR, "request not run: "
  // and the reason, on this thread, before enqueue returns.
  void enqueue(ZPRequest request) EXCLUDES(registryMutex_);
  void batchEnqueue(const ZPBatchRequest& batch) EXCLUDES(registryMutex_);
  std::vector<ZPResponse> batchExecute(const ZPBatchRequest& batch) EXCLUDES(registryMutex_);

  void cancelAll() EXCLUDES(registryMutex_);
  void cancelByRequest(int requestId) EXCLUDES(registryMutex_);
  void cancelByUrl(const std::string& url) EXCLUDES(registryMutex_);
  // See Zephyl::setMaxBytesPerSecond and setRequestMaxBytesPerSecond.
  void setMaxBytesPerSecond(int64_t bytesPerSecond) { managerLimit_->setRate(bytesPerSecond); }
  bool setRequestMaxBytesPerSecond(int requestId, int64_t bytesPerSecond)
      EXCLUDES(registryMutex_);
  bool fetchProgress(const std::string& url, int64_t* downloaded, int64_t* total)
      EXCLUDES(registryMutex_);
  void removeAllCache() EXCLUDES(registryMutex_);
  void removeCacheByRequest(int requestId) EXCLUDES(registryMutex_);
  void removeCacheByUrl(const std::string& url) EXCLUDES(registryMutex_);

  // Stops the task pool after it has run every queued request to its end. On a thread of the
  // library's own (a task or chunk worker, where waiting could wait for itself) the stop is
  // handed to a thread of its own and this returns at once.
  // Keeps the host's identity strings for the metrics records of downloads started from now on.
  // Called on the host's threads (the manager's operations), where the host sets them.
  void noteIdentity(const std::string& gid, const std::string& uid) EXCLUDES(registryMutex_);

  void shutdown();

 private:
  // One queued request and the ticket that tells it apart from its copies.
  struct PendingRequest {
    ZPRequest request;
    uint64_t ticket;
  };
  enum class Posting {
    kPosted,    // a job will take the front request
    kStopping,  // the pool is stopping and takes no more jobs
    kNoThread,  // the pool has no thread and none could be started; *refusal says why
  };
  // Posts one job that runs the front request.
  Posting pollTaskToRunning(std::string* refusal = nullptr);
  void runNextPending() EXCLUDES(registryMutex_);
  // execute for the request of ticket (0: a synchronous execute, no ticket), which underway_
  // lists when it was queued.
  ZPResponse run(ZPRequest request, uint64_t ticket) EXCLUDES(registryMutex_);
  // Joins or creates the task for request.fileKey; waits for cancelled predecessors. A listed
  // task that no longer takes joiners (it is finishing or finished) counts as absent: its entry
  // goes to a new task. *extra receives the request's own delivery when it joined a task with
  // another target (null otherwise). Returns null when the request was cancelled while it waited.
  // Takes registryMutex_ itself.
  // ticket: see run; a cancel by its id while it was underway makes it null too.
  std::shared_ptr<FileDownloadTask> acquireTask(
      const ZPRequest& request, const std::optional<ExpectedDigest>& expected, uint64_t ticket,
      bool* isReuse, std::shared_ptr<FileDownloadTask::ExtraDelivery>* extra)
      EXCLUDES(registryMutex_);
  // What one look at the table found for a request, and what it must do next.
  struct Listing {
    std::shared_ptr<FileDownloadTask> task;       // joined or new: the request's download
    std::shared_ptr<FileDownloadTask> cancelled;  // a cancelled predecessor to wait for first
    std::shared_ptr<FileDownloadTask> finished;   // unlisted; released after the unlock
    bool cancelledWhileWaiting = false;           // a cancel took the key out during the wait
    bool cancelledUnderway = false;  // a cancel by the request's id or URL came before its task
  };
  // acquireTask's look at the table: joins the listed task, lists a new one, or names the
  // cancelled predecessor to wait for. waitedFor: the predecessor waited for last (null: none).
  // Requires: registryMutex_ held.
  Listing listTask(const ZPRequest& request, const std::optional<ExpectedDigest>& expected,
                   const std::string& taskKey, const std::shared_ptr<FileDownloadTask>& waitedFor,
                   bool* isReuse, std::shared_ptr<FileDownloadTask::ExtraDelivery>* extra)
      REQUIRES(registryMutex_);
  // listTask for the request of ticket (see run), unless a call by its id or URL cancelled it
  // meanwhile; a rate asked for meanwhile is given to its download. Requires: registryMutex_.
  Listing listUnderway(const ZPRequest& request, const std::optional<ExpectedDigest>& expected,
                       uint64_t ticket, const std::string& taskKey,
                       const std::shared_ptr<FileDownloadTask>& waitedFor, bool* isReuse,
                       std::shared_ptr<FileDownloadTask::ExtraDelivery>* extra)
      REQUIRES(registryMutex_);
  // A task for request, its onProgress listening. Requires: registryMutex_ held (the identity).
  std::shared_ptr<FileDownloadTask> newTask(const ZPRequest& request,
                                            const std::optional<ExpectedDigest>& expected)
      REQUIRES(registryMutex_);
  // The response that refuses request before any download (its onComplete still to be called),
  // or none when it may run; then request.fileKey is filled in and *expected holds its checksum,
  // parsed. Writes the refusal's log line.
  std::optional<ZPResponse> refusalOf(ZPRequest& request,
                                      std::optional<ExpectedDigest>* expected) const;
  // Removes the queued requests that match and returns them, in queue order, for completion as
  // cancelled outside the lock. Requires: registryMutex_ held.
  template <typename Match>
  std::vector<ZPRequest> takePending(Match match) REQUIRES(registryMutex_);
  static void completeCancelled(const std::vector<ZPRequest>& requests);
  // Gives the transfer slot of the queued request running on the calling thread back to the task
  // pool (see taskThreadPool_); does nothing on any other thread or when the request holds none.
  void releaseTransferSlot();
  std::vector<ZPResponse> runBatchInline(const ZPBatchRequest& batch) EXCLUDES(registryMutex_);
  // Queues the requests of tracker's batch, each wrapped as it is queued.
  void enqueueTracked(const std::shared_ptr<BatchTracker>& tracker) EXCLUDES(registryMutex_);

  // Set at construction.
  const ZPSetting settings_;
  const FileKeyFunction fileKeyFunction_;
  std::string setupError_;  // written by the constructor only
  const std::shared_ptr<FileStorageManager> storageManager_;

  // Lock order: registryMutex_, then the short locks of a task that join, cancel and
  // addProgressListener take. Held only for table work: no callback, no file or network I/O, no
  // wait for a download, and no task is released under it (its writer may close files).
  Mutex registryMutex_;
  // Guarded by registryMutex_.
  std::unordered_map<std::string, std::shared_ptr<FileDownloadTask>> runningTasks_
      GUARDED_BY(registryMutex_);
  std::unordered_set<std::string> waitingKeys_ GUARDED_BY(registryMutex_);
  std::deque<PendingRequest> pendingRequests_ GUARDED_BY(registryMutex_);
  // The ticket of the request queued last.
  uint64_t lastTicket_ GUARDED_BY(registryMutex_) = 0;
  // Queued requests taken off pendingRequests_ whose onComplete has not returned yet.
  UnderwayRequests underway_ GUARDED_BY(registryMutex_);
  MetricsIdentity identity_ GUARDED_BY(registryMutex_);

  // The threads queued requests run on, started as queued requests need them; each ends once it
  // has been idle for ThreadPool::kIdleWorkerLifetime, so an idle manager holds none. Each queued request holds one
  // of taskThreadNum slots of the pool while it transfers; the download gives it back once its
  // last byte is stored (releaseTransferSlot), so that the next queued request starts its
  // transfer while this one is written out, delivered and its onComplete runs. At most
  // taskThreadNum requests run on without a slot at once: a download finishing beyond that keeps
  // its slot to its end, as does one that fails or is cancelled. Hence twice taskThreadNum
  // threads. A request that joins another's download waits without transferring: it gives its
  // slot back on joining (or lends it, beyond that bound), and a download pausing before a
  // repeated attempt lends its slot for the pause and takes one back before it goes on. Lock
  // order: the pool's queue lock comes after registryMutex_ and every lock of a task (a slot is
  // given back under the task's executeLock); none is taken under it.
  // TODO: a synchronous execute made from the onComplete of a queued request runs on a thread
  // that may have given its slot back already, and so transfers beside the taskThreadNum that
  // hold one; so does a later attempt of a download whose delivery failed, should its writer
  // have lost bytes (normally that attempt only delivers).
  std::unique_ptr<ThreadPool> taskThreadPool_;
  // The workers every download's chunks run on, started as chunks need them. They stay between
  // downloads until idle for ThreadPool::kIdleWorkerLifetime; the connections stay with the
  // transfer handles, not the threads. Set at construction; tasks share it
  // and may outlive the registry.
  const std::shared_ptr<ChunkWorkers> chunkWorkers_;
  // The rate limit every download of this manager shares (its own lock is a leaf). Set at
  // construction; tasks share it and may outlive the registry.
  const std::shared_ptr<RateLimiter> managerLimit_;
};

}  // namespace zephyl
