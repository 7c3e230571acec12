#include "manager/task_registry.h"

#include <algorithm>
#include <future>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "diagnostics/host_call.h"
#include "diagnostics/log.h"
#include "diagnostics/digest.h"
#include "diagnostics/redaction.h"
#include "diagnostics/utilities.h"
#include "engine/proxy_route.h"
#include "engine/request_identity.h"
#include "manager/batch_tracker.h"

namespace zephyl {
namespace {

ZPResponse cancelledResponse() { return ZPResponse(ZPResponse::RESULT_CANCELLED, 0, ""); }

// The key a request's task is listed under. Requests for one URL share one download under its
// file key; a stream's bytes go to its own receiver as they come, so a stream request never joins
// a download and is never joined: its task is listed under a key of its own (a file key is hex
// digits, so no file key looks like it).
std::string taskKeyOf(const ZPRequest& request) {
  if (request.outputType != ZPRequest::OUTPUT_STREAM) return request.fileKey;
  return request.fileKey + " stream " + std::to_string(request.requestId);
}

// Delivers response to the request's onComplete and returns it.
ZPResponse complete(const ZPRequest& request, ZPResponse response) {
  callHost("onComplete", request.onComplete, request, response);
  return response;
}

// Why a stream request cannot run (a failed response, logged), or success.
ZPResponse refusedStream(const ZPRequest& request) {
  int code = ZPResponse::STREAM_ERROR;
  std::string why;
  if (!request.onData) {
    why = "stream output without a data callback";
  } else if (request.streamOffset < 0) {
    why = "negative stream offset " + std::to_string(request.streamOffset);
  } else if (request.streamOffset > 0 && !request.checksum.empty()) {
    // The digest covers the whole resource, and the bytes before the offset are not fetched.
    code = ZPResponse::ILLEGAL_CHECKSUM;
    why = "a stream from an offset cannot be checked: the checksum covers the whole resource";
  } else {
    return ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  }
  ZP_LOG(Error) << "Zephyl execute " << why;
  return ZPResponse(ZPResponse::RESULT_FAILED, code, why);
}

// Enough chunk workers for every queued request that runs at once plus two synchronous
// executes, each with all its transfers. Downloads beyond that queue their chunks behind the
// others' (a chunk never waits for another chunk, so they all finish).
int chunkWorkerCount(const ZPSetting& settings) {
  constexpr int64_t kMaxWorkers = 256;
  const int64_t perDownload = std::clamp<int64_t>(settings.threadNum, 1, kMaxWorkers);
  const int64_t downloads = std::clamp<int64_t>(settings.taskThreadNum, 1, kMaxWorkers) + 2;
  return static_cast<int>(std::min(perDownload * downloads, kMaxWorkers));
}

// Queued requests transferring at once; as many again may be writing out and delivering.
int transferringAtOnce(const ZPSetting& settings) {
  constexpr int kMaxTransferring = 256;
  return std::clamp(settings.taskThreadNum, 1, kMaxTransferring);
}

// The storage manager of settings.rootDir, held for a registry; *error says why the root refused
// the settings' cache limits (the registry then refuses every request).
std::shared_ptr<FileStorageManager> holdStorage(const ZPSetting& settings, std::string* error) {
  std::shared_ptr<FileStorageManager> storage;
  const Status held = FileStorageManager::hold(settings.rootDir, settings.cachePolicy, &storage);
  if (!held.isOk()) {
    *error = held.message();
    ZP_LOG(Error) << "Zephyl " << *error;
  }
  return storage;
}

}  // namespace

TaskRegistry::TaskRegistry(const ZPSetting& settings, FileKeyFunction fileKeyFunction,
                           ThreadPool::ThreadStarter startThread)
    : settings_(settings),
      fileKeyFunction_(std::move(fileKeyFunction)),
      storageManager_(holdStorage(settings, &setupError_)),
      // Without a thread, queued requests would never run.
      taskThreadPool_(std::make_unique<ThreadPool>(
          2 * transferringAtOnce(settings), ThreadPool::Start::kOnDemand, std::move(startThread),
          ThreadPool::Slots{transferringAtOnce(settings), transferringAtOnce(settings)})),
      chunkWorkers_(std::make_shared<ChunkWorkers>(chunkWorkerCount(settings))),
      managerLimit_(std::make_shared<RateLimiter>(settings.maxBytesPerSecond)) {}

TaskRegistry::~TaskRegistry() {
  if (setupError_.empty()) storageManager_->releaseHold();
}

std::shared_ptr<TaskRegistry> TaskRegistry::createHandle(const ZPSetting& settings,
                                                         FileKeyFunction fileKeyFunction,
                                                         ThreadPool::ThreadStarter startThread) {
  auto core =
      std::make_shared<TaskRegistry>(settings, std::move(fileKeyFunction), std::move(startThread));
  // The handle shares the registry's address but has its own count: when the last manager
  // copy lets go, the pool is shut down first; the registry itself lives on as long as a job or
  // a running call still holds it.
  TaskRegistry* address = core.get();
  return std::shared_ptr<TaskRegistry>(address, [core](TaskRegistry*) mutable {
    core->shutdown();
    core.reset();
  });
}

void TaskRegistry::shutdown() {
  if (!ThreadPool::isAnyWorkerThread()) {
    taskThreadPool_->shutdown();
    return;
  }
  // On a worker the wait could be for this very thread (a task thread) or for the download this
  // thread is serving (a chunk worker). The stop goes to a thread of its own, which keeps the
  // registry alive until every queued request has run.
  std::thread([self = shared_from_this()] { self->taskThreadPool_->shutdown(); }).detach();
}

// ---- Synchronous execute -------------------------------------------------------------------

std::shared_ptr<FileDownloadTask> TaskRegistry::acquireTask(
    const ZPRequest& request, const std::optional<ExpectedDigest>& expected, uint64_t ticket,
    bool* isReuse, std::shared_ptr<FileDownloadTask::ExtraDelivery>* extra) {
  const std::string taskKey = taskKeyOf(request);
  std::shared_ptr<FileDownloadTask> waitedFor;  // the cancelled predecessor waited for last
  int64_t waitedMs = 0;
  for (;;) {
    // Declared outside the locked section: a task whose last holder this is goes after the
    // unlock (its writer closes files as it goes).
    Listing listing;
    {
      MutexLock lock(registryMutex_);
      listing = listUnderway(request, expected, ticket, taskKey, waitedFor, isReuse, extra);
    }
    if (listing.cancelledUnderway) {
      ZP_LOG(Debug) << "cancelled before its download started: " << redactUrl(request.url);
      return nullptr;
    }
    // The lines of a wait are written here, outside the lock.
    if (listing.cancelledWhileWaiting) {
      ZP_LOG(Debug) << "waiting last task  complete, but current has cancelled."
                    << redactUrl(request.url);
      return nullptr;
    }
    if (waitedFor) {
      ZP_LOG(Debug) << "waiting last task cancelled complete " << redactUrl(request.url)
                    << " , time = " << waitedMs;
    }
    if (listing.task) return listing.task;
    waitedFor = std::move(listing.cancelled);
    const int64_t waitStartMs = nowMs();
    ZP_LOG(Debug) << "waiting last task cancelled start " << redactUrl(request.url);
    waitedFor->execute();
    waitedMs = nowMs() - waitStartMs;
  }
}

TaskRegistry::Listing TaskRegistry::listUnderway(
    const ZPRequest& request, const std::optional<ExpectedDigest>& expected, uint64_t ticket,
    const std::string& taskKey, const std::shared_ptr<FileDownloadTask>& waitedFor, bool* isReuse,
    std::shared_ptr<FileDownloadTask::ExtraDelivery>* extra) {
  const UnderwayRequests::Asked asked = underway_.asked(ticket);
  if (asked.cancelled) {
    Listing listing;
    listing.cancelledUnderway = true;
    // A wait for a cancelled predecessor ends here too: the key is no longer waited for.
    if (waitedFor) waitingKeys_.erase(taskKey);
    return listing;
  }
  Listing listing = listTask(request, expected, taskKey, waitedFor, isReuse, extra);
  if (!listing.task) return listing;
  underway_.started(ticket, listing.task);
  // A leaf lock, allowed under registryMutex_.
  if (asked.maxBytesPerSecond) listing.task->setMaxBytesPerSecond(*asked.maxBytesPerSecond);
  return listing;
}

TaskRegistry::Listing TaskRegistry::listTask(
    const ZPRequest& request, const std::optional<ExpectedDigest>& expected,
    const std::string& taskKey, const std::shared_ptr<FileDownloadTask>& waitedFor, bool* isReuse,
    std::shared_ptr<FileDownloadTask::ExtraDelivery>* extra) {
  Listing listing;
  auto found = runningTasks_.find(taskKey);
  if (waitedFor && waitingKeys_.count(taskKey) == 0) {
    listing.cancelledWhileWaiting = true;  // a cancel took the key out while this request waited
    return listing;
  }
  if (found != runningTasks_.end() && !found->second->isCancelled()) {
    if (found->second->join(request, expected, extra)) {
      *isReuse = true;
      listing.task = found->second;
      return listing;
    }
    // The task has finished, or is finishing: its result may already be in its callers' hands
    // (a request made from its onComplete arrives here). A new download serves this request; the
    // finished task's own call then leaves the new entry alone.
    listing.finished = std::move(found->second);
    runningTasks_.erase(found);
  } else if (found != runningTasks_.end() && found->second != waitedFor) {
    // A cancelled task holds the key: wait for it to end, then look again (another waiter may
    // have started the next task meanwhile, which this request then joins).
    listing.cancelled = found->second;
    waitingKeys_.insert(taskKey);
    return listing;
  } else if (found != runningTasks_.end()) {
    // The cancelled predecessor has ended; its own call has not unlisted it yet. The new task
    // takes the entry over (that call then leaves the entry alone).
    runningTasks_.erase(found);
  }
  listing.task = newTask(request, expected);
  runningTasks_.emplace(taskKey, listing.task);
  return listing;
}

std::shared_ptr<FileDownloadTask> TaskRegistry::newTask(
    const ZPRequest& request, const std::optional<ExpectedDigest>& expected) {
  // The download gives its thread's transfer slot back once every byte is stored. Held weakly:
  // the registry lists its tasks, a task never keeps the registry alive.
  auto task = std::make_shared<FileDownloadTask>(
      settings_, storageManager_, request, chunkWorkers_,
      [weakSelf = weak_from_this()] {
        if (std::shared_ptr<TaskRegistry> self = weakSelf.lock()) self->releaseTransferSlot();
      },
      managerLimit_, identity_, expected,
      // The pause before a repeated attempt lends the thread's slot to the next queued request.
      [weakSelf = weak_from_this()](bool paused, const std::atomic<bool>& cancelled) {
        std::shared_ptr<TaskRegistry> self = weakSelf.lock();
        if (!self) return;
        if (!paused) {
          // A cancelled download only ends: a request waiting for that end may hold the slot.
          (void)self->taskThreadPool_->takeSlotBack([&cancelled] { return cancelled.load(); });
        } else if (self->taskThreadPool_->lendSlot()) {
          ZP_LOG(Debug) << "transfer slot lent during the pause";
        }
      });
  task->addProgressListener(request.onProgress);
  return task;
}

std::optional<ZPResponse> TaskRegistry::refusalOf(ZPRequest& request,
                                                  std::optional<ExpectedDigest>* expected) const {
  if (!setupError_.empty()) {
    ZP_LOG(Debug) << "Zephyl execute refused: " << setupError_;
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::CACHE_ERROR, setupError_);
  }
  if (request.url.empty()) {
    ZP_LOG(Debug) << "Zephyl execute url is empty";
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_URL, "error: empty url");
  }
  const std::string refusal = identityRefusal(settings_.httpPolicy, request);
  if (!refusal.empty()) {
    // The reason names the header, never its value: a value may be a secret.
    ZP_LOG(Error) << "Zephyl execute " << refusal;
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_HEADER, refusal);
  }
  const std::string proxyRefused = proxyRefusal(settings_.httpPolicy);
  if (!proxyRefused.empty()) {
    // Refused before any connection: libcurl would take an unknown scheme for an HTTP proxy.
    ZP_LOG(Error) << "Zephyl execute " << proxyRefused;
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_PROXY, proxyRefused);
  }
  const std::string checksumRefused = readChecksum(request.checksum, expected);
  if (!checksumRefused.empty()) {
    // Refused before any byte is fetched: no check could ever pass.
    ZP_LOG(Error) << "Zephyl execute " << checksumRefused;
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_CHECKSUM, checksumRefused);
  }
  request.fileKey = fileKeyFunction_(request.url);
  if (request.fileKey.empty()) {
    // The key names the stored files: without one there is nowhere to download to.
    ZP_LOG(Error) << "Zephyl execute file key unavailable: " << redactUrl(request.url);
    return ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::EXECUTE_ERROR,
                      "file key unavailable: md5 failed");
  }
  if (request.outputType == ZPRequest::OUTPUT_STREAM) {
    const ZPResponse refused = refusedStream(request);
    if (!refused.isSuccess()) return refused;
  }
  return std::nullopt;
}

ZPResponse TaskRegistry::execute(ZPRequest request) { return run(std::move(request), 0); }

ZPResponse TaskRegistry::run(ZPRequest request, uint64_t ticket) {
  std::optional<ExpectedDigest> expected;
  if (std::optional<ZPResponse> refused = refusalOf(request, &expected)) {
    return complete(request, std::move(*refused));
  }
  bool isReuse = false;
  std::shared_ptr<FileDownloadTask::ExtraDelivery> extra;
  std::shared_ptr<FileDownloadTask> task =
      acquireTask(request, expected, ticket, &isReuse, &extra);
  if (!task) return complete(request, cancelledResponse());
  ZP_LOG(Debug) << "Zephyl executeTask: " << request.logString() << ", isReuse = " << isReuse;
  if (isReuse) {
    task->addProgressListener(request.onProgress);
    // A queued request that joined waits for another's download and transfers nothing itself.
    // (Should it still be the one to run the download, the joined request's own caller holds a
    // slot for it, or none was ever counted: a synchronous execute.)
    releaseTransferSlot();
    // Beyond the bound of released slots the slot is lent instead: a request that only waits
    // never holds a place that the download it waits for may need after a pause.
    (void)taskThreadPool_->lendSlot();
  }
  callHost("onStart", request.onStart, request);
  // The request's own result: the task's, or the copy the task made at this request's target.
  ZPResponse response = task->executeFor(extra, expected);
  ZP_LOG(Debug) << "Zephyl execute complete " << response.logString();
  callHost("onComplete", request.onComplete, request, response);
  {
    // Only the entry that still holds this call's task: a newer task of the key stays listed.
    MutexLock lock(registryMutex_);
    auto found = runningTasks_.find(taskKeyOf(request));
    if (found != runningTasks_.end() && found->second == task) runningTasks_.erase(found);
  }
  return response;
}

// ---- Queue and batches ---------------------------------------------------------------------

void TaskRegistry::enqueue(ZPRequest request) {
  ZP_LOG(Debug) << "enqueueTask：" << request.logString();
  // Copied (by the caller) before the lock: a copy runs the copy constructors of the host's
  // callables.
  const bool highPriority = request.highPriority;
  PendingRequest pending{std::move(request), 0};
  uint64_t ticket = 0;
  {
    MutexLock lock(registryMutex_);
    ticket = pending.ticket = ++lastTicket_;
    if (highPriority) {
      pendingRequests_.push_front(std::move(pending));
    } else {
      pendingRequests_.push_back(std::move(pending));
    }
  }
  std::string refusal;
  if (pollTaskToRunning(&refusal) != Posting::kNoThread) return;
  // No job will come for this request, and the pool has no thread to run any: it would wait in
  // the queue forever. It fails now, unless a job of another call (whose thread started after
  // all) has already taken it; that job then runs the queue on to its end.
  std::optional<ZPRequest> unrun;
  {
    MutexLock lock(registryMutex_);
    auto found =
        std::find_if(pendingRequests_.begin(), pendingRequests_.end(),
                     [ticket](const PendingRequest& pending) { return pending.ticket == ticket; });
    if (found != pendingRequests_.end()) {
      unrun.emplace(std::move(found->request));
      pendingRequests_.erase(found);
    }
  }
  if (!unrun) return;
  ZP_LOG(Error) << "enqueueTask not run: " << refusal << ", " << unrun->logString();
  complete(*unrun, ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::EXECUTE_ERROR,
                              "request not run: " + refusal));
}

TaskRegistry::Posting TaskRegistry::pollTaskToRunning(std::string* refusal) {
  std::error_code reason;
  ThreadPool::Posted posted = ThreadPool::Posted::kNoThread;
  try {
    posted = taskThreadPool_->post([self = shared_from_this()] { self->runNextPending(); },
                                   &reason);
  } catch (const std::exception& error) {
    // Out of memory for the job itself: as good as no thread.
    if (refusal != nullptr) *refusal = error.what();
    return Posting::kNoThread;
  }
  switch (posted) {
    case ThreadPool::Posted::kQueued:
      return Posting::kPosted;
    case ThreadPool::Posted::kStopped:
      return Posting::kStopping;
    case ThreadPool::Posted::kNoThread:
      break;
  }
  if (refusal != nullptr) {
    *refusal = "ThreadPool could not start a worker thread: " + reason.message();
  }
  return Posting::kNoThread;
}

void TaskRegistry::runNextPending() {
  for (;;) {
    // Not a default-constructed ZPRequest: that would take an id from the host's counter.
    std::optional<ZPRequest> request;
    uint64_t ticket = 0;
    {
      MutexLock lock(registryMutex_);
      if (!pendingRequests_.empty()) {
        request.emplace(std::move(pendingRequests_.front().request));
        ticket = pendingRequests_.front().ticket;
        pendingRequests_.pop_front();
        // From the queue to its completion without a moment where its id is unknown.
        underway_.add(ticket, request->requestId, request->url);
      }
    }
    // The log line is written after the unlock: no output under the registry lock.
    if (!request) {
      ZP_LOG(Debug) << "taskThreadPool is idle";
      return;
    }
    run(std::move(*request), ticket);
    {
      MutexLock lock(registryMutex_);
      underway_.remove(ticket);
    }
    // Normally a new job takes the next request. A stopping pool refuses it, yet a callback may
    // have queued a request meanwhile (the next download of a chain): this job runs what is
    // left itself, so no queued request is dropped without its onComplete. (Having given its
    // transfer slot back, it then transfers beside the taskThreadNum that hold one.)
    if (pollTaskToRunning() == Posting::kPosted) return;
  }
}

void TaskRegistry::batchEnqueue(const ZPBatchRequest& batch) {
  if (batch.requests.empty()) return;
  enqueueTracked(std::make_shared<BatchTracker>(batch));
}

void TaskRegistry::enqueueTracked(const std::shared_ptr<BatchTracker>& tracker) {
  for (size_t index = 0; index < tracker->size(); ++index) {
    enqueue(BatchTracker::wrapRequest(tracker, index));
  }
}

std::vector<ZPResponse> TaskRegistry::batchExecute(const ZPBatchRequest& batch) {
  if (batch.requests.empty()) return {};
  // On a task thread the batch's requests could wait for the very thread that waits for them.
  if (taskThreadPool_->isWorkerThread()) return runBatchInline(batch);
  auto promise = std::make_shared<std::promise<std::vector<ZPResponse>>>();
  std::future<std::vector<ZPResponse>> result = promise->get_future();
  ZPBatchRequest copy = batch;
  copy.onBatchComplete = [callerCallback = batch.onBatchComplete, promise](
                             const ZPBatchRequest& completed,
                             const std::vector<ZPResponse>& responses) {
    // Whatever the host's callback does, the waiting caller gets its responses.
    callHost("onBatchComplete", callerCallback, completed, responses);
    promise->set_value(responses);
  };
  // The copy moves into the tracker: the manager holds the batch's requests once.
  enqueueTracked(std::make_shared<BatchTracker>(std::move(copy)));
  return result.get();
}

std::vector<ZPResponse> TaskRegistry::runBatchInline(const ZPBatchRequest& batch) {
  std::vector<ZPResponse> result;
  ZPBatchRequest copy = batch;
  copy.onBatchComplete = [callerCallback = batch.onBatchComplete, &result](
                             const ZPBatchRequest& completed,
                             const std::vector<ZPResponse>& responses) {
    callHost("onBatchComplete", callerCallback, completed, responses);
    result = responses;
  };
  auto tracker = std::make_shared<BatchTracker>(std::move(copy));
  for (size_t index = 0; index < tracker->size(); ++index) {
    execute(BatchTracker::wrapRequest(tracker, index));
  }
  return result;
}

// ---- Cancellation, progress and removal ------------------------------------------------------

template <typename Match>
std::vector<ZPRequest> TaskRegistry::takePending(Match match) {
  std::vector<ZPRequest> taken;
  for (auto it = pendingRequests_.begin(); it != pendingRequests_.end();) {
    if (match(it->request)) {
      taken.push_back(std::move(it->request));
      it = pendingRequests_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

void TaskRegistry::releaseTransferSlot() {
  if (taskThreadPool_->releaseSlot()) {
    ZP_LOG(Debug) << "transfer slot given back";
  }
}

void TaskRegistry::completeCancelled(const std::vector<ZPRequest>& requests) {
  // Outside registryMutex_, in queue order: a callback may call the manager again. One that
  // throws does not keep the others from their completion.
  for (const ZPRequest& request : requests) complete(request, cancelledResponse());
}

void TaskRegistry::cancelAll() {
  ZP_LOG(Debug) << "cancelAll";
  std::vector<ZPRequest> taken;
  {
    MutexLock lock(registryMutex_);
    for (auto& entry : runningTasks_) entry.second->cancel();
    underway_.cancelWaiting([](int, const std::string&) { return true; });
    taken = takePending([](const ZPRequest&) { return true; });
  }
  completeCancelled(taken);
}

void TaskRegistry::cancelByRequest(int requestId) {
  ZP_LOG(Debug) << "cancelByRequest：" << requestId;
  std::vector<ZPRequest> taken;
  {
    MutexLock lock(registryMutex_);
    for (auto& entry : runningTasks_) {
      if (entry.second->request().requestId == requestId) {
        entry.second->cancel();
        waitingKeys_.erase(taskKeyOf(entry.second->request()));
      }
    }
    underway_.cancelWaiting([requestId](int id, const std::string&) { return id == requestId; });
    taken = takePending(
        [requestId](const ZPRequest& request) { return request.requestId == requestId; });
  }
  completeCancelled(taken);
}

void TaskRegistry::cancelByUrl(const std::string& url) {
  ZP_LOG(Debug) << "cancelByUrl：" << redactUrl(url);
  std::vector<ZPRequest> taken;
  {
    MutexLock lock(registryMutex_);
    for (auto& entry : runningTasks_) {
      if (entry.second->request().url == url) {
        entry.second->cancel();
        waitingKeys_.erase(taskKeyOf(entry.second->request()));
      }
    }
    underway_.cancelWaiting(
        [&url](int, const std::string& underwayUrl) { return underwayUrl == url; });
    taken = takePending([&url](const ZPRequest& request) { return request.url == url; });
  }
  completeCancelled(taken);
}

bool TaskRegistry::setRequestMaxBytesPerSecond(int requestId, int64_t bytesPerSecond) {
  bool known = false;
  // Downloads of requests underway; released after the unlock (a last holder closes files).
  std::vector<std::shared_ptr<FileDownloadTask>> underwayTasks;
  MutexLock lock(registryMutex_);
  // A request between the queue and its completion: its download, or the rate it will start with.
  if (underway_.setRate(requestId, bytesPerSecond, &underwayTasks)) known = true;
  for (const auto& task : underwayTasks) task->setMaxBytesPerSecond(bytesPerSecond);
  // A running download changes its bucket (a leaf lock: allowed under registryMutex_); a queued
  // request carries the new value into the download it starts.
  for (auto& entry : runningTasks_) {
    if (entry.second->servesRequest(requestId)) {
      entry.second->setMaxBytesPerSecond(bytesPerSecond);
      known = true;
    }
  }
  for (PendingRequest& pending : pendingRequests_) {
    if (pending.request.requestId == requestId) {
      pending.request.maxBytesPerSecond = bytesPerSecond;
      known = true;
    }
  }
  return known;
}

bool TaskRegistry::fetchProgress(const std::string& url, int64_t* downloaded, int64_t* total) {
  if (downloaded == nullptr && total == nullptr) return true;
  const std::string fileKey = fileKeyFunction_(url);
  if (fileKey.empty()) return false;  // nothing can be stored without a key
  // Only the look-up runs under the lock; the counts and the stored record are read after it,
  // since reading the record is file I/O. Declared before the lock: should the task end
  // meanwhile, this is its last holder, and it goes after the unlock.
  std::shared_ptr<FileDownloadTask> task;
  {
    MutexLock lock(registryMutex_);
    auto found = runningTasks_.find(fileKey);
    if (found != runningTasks_.end()) task = found->second;
  }
  if (!task) return storageManager_->fetchProgress(fileKey, downloaded, total);
  if (downloaded != nullptr) *downloaded = task->downloadedLength();
  if (total != nullptr) *total = task->contentLength();
  return true;
}

void TaskRegistry::removeAllCache() {
  cancelAll();
  storageManager_->removeAllCache();
}

void TaskRegistry::removeCacheByUrl(const std::string& url) {
  const std::string fileKey = fileKeyFunction_(url);
  cancelByUrl(url);
  // An empty key names no download, and removing it could reach the storage directory itself.
  if (fileKey.empty()) return;
  storageManager_->removeTempFile(fileKey);
  storageManager_->removeCacheFile(fileKey);
}

void TaskRegistry::removeCacheByRequest(int requestId) {
  std::vector<std::string> urls;
  {
    MutexLock lock(registryMutex_);
    for (auto& entry : runningTasks_) {
      if (entry.second->request().requestId == requestId)
        urls.push_back(entry.second->request().url);
    }
    for (const PendingRequest& pending : pendingRequests_) {
      if (pending.request.requestId == requestId) urls.push_back(pending.request.url);
    }
    underway_.urlsOf(requestId, &urls);
  }
  for (const std::string& url : urls) removeCacheByUrl(url);
}

void TaskRegistry::noteIdentity(const std::string& gid, const std::string& uid) {
  MutexLock lock(registryMutex_);
  identity_.gid = gid;
  identity_.uid = uid;
}

}  // namespace zephyl
