#include "engine/file_download_task.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "diagnostics/host_call.h"
#include "diagnostics/log.h"
#include "diagnostics/redaction.h"
#include "engine/byte_range.h"
#include "engine/chunk_planner.h"
#include "engine/failure_cause.h"
#include "engine/lasting_failure.h"
#include "engine/server_time.h"
#include "sinks/chunk_data_writer.h"
#include "sinks/file_data_writer.h"
#include "sinks/memory_data_writer.h"
#include "sinks/stream_data_writer.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

// cancelled is the task's flag; the writer only keeps its address. request is the task's own
// copy: a stream's receiver hands it to onData for as long as the task lives. onStreamStopped:
// told when a stream's receiver stopped it.
std::unique_ptr<DataWriter> makeWriter(const ZPSetting& settings,
                                       std::shared_ptr<FileStorageManager> storage,
                                       const ZPRequest& request, const std::atomic<bool>* cancelled,
                                       std::function<void()> onStreamStopped) {
  if (request.outputType == ZPRequest::OUTPUT_STREAM) {
    StreamDataWriter::Receiver receiver;
    if (request.onData) {
      receiver = [&request](const char* data, size_t size) {
        return request.onData(request, data, size);
      };
    }
    return std::make_unique<StreamDataWriter>(std::move(receiver), settings.blockSize, cancelled,
                                              StreamDataWriter::kDefaultReorderLimitBytes,
                                              request.streamOffset, std::move(onStreamStopped));
  }
  if (request.outputType == ZPRequest::OUTPUT_MEMORY) {
    return std::make_unique<MemoryDataWriter>(request.fileKey, settings.blockSize);
  }
  if (request.outputType == ZPRequest::OUTPUT_CHUNK_FILE) {
    return std::make_unique<ChunkDataWriter>(request.fileKey, std::move(storage),
                                             settings.saveDirPath, settings.blockSize, cancelled,
                                             settings.writeOutBeforeDelivery,
                                             settings.progressSaveIntervalMs);
  }
  return std::make_unique<FileDataWriter>(std::move(storage), settings.saveDirPath, request.fileKey,
                                          cancelled, settings.writeOutBeforeDelivery);
}

}  // namespace

FileDownloadTask::FileDownloadTask(const ZPSetting& settings,
                                   std::shared_ptr<FileStorageManager> storage,
                                   const ZPRequest& request,
                                   std::shared_ptr<ChunkWorkers> chunkWorkers,
                                   std::function<void()> onAllStored,
                                   std::shared_ptr<RateLimiter> managerLimit,
                                   MetricsIdentity identity, std::optional<ExpectedDigest> expected,
                                   PauseListener onPause)
    : request_(request),
      policy_(settings.httpPolicy),
      blockSize_(settings.blockSize),
      // A checked stream runs one transfer: its digest then follows the bytes in the order they
      // are handed over, with nothing to read back (a stream keeps nothing).
      threadNum_(request.outputType == ZPRequest::OUTPUT_STREAM && expected.has_value()
                     ? 1
                     : settings.threadNum),
      splitThresholdMs_(settings.splitThresholdMs),
      // activeChunks_ is made after the writer, but the writer tells its stop only while chunks
      // run, long after construction.
      writer_(makeWriter(settings, std::move(storage), request_, &cancelled_,
                         [this] { activeChunks_->stopForGood(); })),
      ownTarget_(
          DeliveryTarget::of(request, settings.saveDirPath, settings.writeOutBeforeDelivery)),
      saveDirPath_(settings.saveDirPath),
      rootDir_(settings.rootDir),
      onAllStored_(std::move(onAllStored)),
      onPause_(std::move(onPause)),
      metricsIdentity_(std::move(identity)),
      keepServerTime_(settings.keepServerTime),
      expected_(std::move(expected)),
      ownLimit_(request.maxBytesPerSecond),
      managerLimit_(std::move(managerLimit)),
      client_(chunkWorkers ? std::make_unique<HttpChunkClient>(policy_, std::move(chunkWorkers))
                           : std::make_unique<HttpChunkClient>(policy_, threadNum_)),
      activeChunks_(std::make_unique<ActiveChunks>(*client_, cancelled_)) {
  client_->setIdentity(identityOf(settings.httpPolicy, request));
  client_->setLimits(TransferLimits{&ownLimit_, managerLimit_.get()});
  if (expected_) digests_.want(expected_->algorithm);
}

FileDownloadTask::~FileDownloadTask() {
  activeChunks_.reset();
  client_.reset();
}

void FileDownloadTask::cancel() {
  cancelled_.store(true);
  activeChunks_->cancelAll();
  // Taking the lock orders the flag before the waiter's next check, so no wake-up is lost.
  { MutexLock lock(waitLock_); }
  waitSignal_.notifyAll();
}

void FileDownloadTask::waitCancellable(int64_t delayMs) {
  MutexLock lock(waitLock_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
  while (!cancelled_.load()) {
    if (!waitSignal_.waitUntil(waitLock_, deadline)) break;
  }
}

void FileDownloadTask::addProgressListener(const ZPRequest::ProgressCallback& listener) {
  if (!listener) return;
  MutexLock lock(listenerLock_);
  if (listenerCount_ >= kMaxListeners) return;
  listeners_[listenerCount_] = listener;
  ++listenerCount_;
}

void FileDownloadTask::report(bool final) {
  int count = 0;
  {
    MutexLock lock(listenerLock_);
    count = listenerCount_;
  }
  if (count == 0) return;
  if (final) {
    reportLock_.lock();
  } else if (!reportLock_.tryLock()) {
    return;  // another worker is reporting now
  }
  MutexLock lock(reportLock_, kAdoptLock);
  const int64_t downloaded = writer_->downloadedLength();
  const int64_t total = writer_->contentLength();
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (!pace_.due(downloaded, total, now, final)) return;
  // A listener that throws changes nothing: the bytes are stored and the download goes on.
  for (int i = 0; i < count; ++i) {
    callHost("onProgress", listeners_[i], request_, downloaded, total);
  }
}

DownloadMetrics FileDownloadTask::startMetrics() const {
  DownloadMetrics metrics;
  metrics.url = request_.url;
  metrics.scene = request_.scene;
  metrics.block_size = blockSize_;
  metrics.thread_num = threadNum_;
  return metrics;
}

ZPResponse FileDownloadTask::tryOpen() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (cancelled_.load()) return ZPResponse(ZPResponse::RESULT_CANCELLED, 0, "");
    const Status opened = writer_->open();
    if (opened.isOk()) return ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
    if (attempt == 1) {
      // The storage could not be opened: a failure of the local disk, whatever code it carries.
      ZPResponse failed(ZPResponse::RESULT_FAILED, opened.code(), opened.message());
      failed.cause = opened.systemCode() > 0 ? fs::diskCauseOf(opened.systemCode())
                                             : ZPResponse::CAUSE_DISK_ERROR;
      return failed;
    }
    ZP_LOG(Debug) << "fileDownload chain tryOpen retry, delay 500";
    waitCancellable(kOpenRetryDelayMs);
  }
  return ZPResponse(ZPResponse::RESULT_FAILED, 0, "");  // not reached
}

ZPResponse FileDownloadTask::execute() {
  MutexLock lock(executeLock_);
  if (executed_) return response_;
  ZP_LOG(Debug) << "FileDownloadTask execute start";
  DownloadMetrics metrics = startMetrics();

  ZPResponse opened = tryOpen();
  // A target that cannot take the file fails the download before its first byte is fetched.
  if (opened.isSuccess()) opened = checkTargetWritable(ownTarget_);
  if (!opened.isSuccess()) {
    failOpen(std::move(opened), metrics);
  } else {
    metrics.cache_size = writer_->downloadedLength();
    // A stream's count starts at its offset: it holds nothing.
    storedUnconfirmed_.store(metrics.cache_size > 0 && !writer_->streams());
    ZP_LOG(Debug) << "FileDownloadTask open success";
    const bool rejected = runAttempts(metrics);
    completeResponse();
    // Rejected content is settled while the writer still holds it; settling serves the joiners.
    if (rejected) settleRejected();
    writer_->close();
    sendMetrics(metrics);
    if (!rejected) deliverToJoiners(response_, ownTarget_.memory);
  }
  executed_ = true;
  return response_;
}

void FileDownloadTask::failOpen(ZPResponse opened, DownloadMetrics& metrics) {
  ZP_LOG(Debug) << "FileDownloadTask open failed";
  // A writer that took its key before the open failed holds the key's lock: it goes now, or
  // every later download of the key would wait for it.
  writer_->close();
  response_ = std::move(opened);
  refineDiskCause(response_);
  sendMetrics(metrics);
  deliverToJoiners(response_, ownTarget_.memory);
}

bool FileDownloadTask::runAttempts(DownloadMetrics& metrics) {
  // A negative retry count still makes one attempt: a task never ends without trying.
  const int lastAttempt = policy_.executeRetryCount > 0 ? policy_.executeRetryCount : 0;
  ChunkPlanner::Context context{request_,       *writer_,   *client_,
                                *activeChunks_, cancelled_, [this] { notifyProgress(); },
                                threadNum_,     splitThresholdMs_,          onAllStored_};
  context.digests = &digests_;
  context.expected = expected_ ? &*expected_ : nullptr;
  context.storedUnconfirmed = &storedUnconfirmed_;
  context.checkRoom = [this](int64_t length) {
    return checkTargetRoom(ownTarget_, rootDir_, length);
  };
  digests_.restart();
  for (int attempt = 0; attempt <= lastAttempt; ++attempt) {
    ZP_LOG(Debug) << "FileDownloadTask execute times: " << attempt;
    AttemptResult result = ChunkPlanner(context).runAttempt(metrics);
    bool rejected = false;
    switch (settleAttempt(result, attempt == lastAttempt, &rejected)) {
      case AttemptStep::kEnd:
        return rejected;
      case AttemptStep::kStartOver:
        continue;
      case AttemptStep::kRetry:
        break;
    }
    const int64_t delayMs = retryDelayAfter(result);
    if (!cancelled_.load() && delayMs > 0) {
      ZP_LOG(Debug) << "FileDownloadTask delay retry: " << delayMs;
      pauseWithoutSlot(delayMs);
    }
  }
  return false;
}

FileDownloadTask::AttemptStep FileDownloadTask::settleAttempt(AttemptResult& result, bool last,
                                                              bool* rejected) {
  const ZPResponse& outcome = result.response;
  // A stream's receiver stopped it (its write failed with that): the host's own decision.
  if (writer_->stoppedByReceiver()) {
    response_ = ZPResponse(ZPResponse::RESULT_CANCELLED, ZPResponse::STREAM_STOPPED,
                           "the receiver stopped the download");
    // The answer whose bytes the receiver had: a host that stops at the first bytes (to check
    // that a URL answers, say) learns the status and headers from it.
    response_.httpCode = result.httpCode;
    response_.headers.assign(result.headers.begin(), result.headers.end());
    return AttemptStep::kEnd;
  }
  if (result.discardStored && !writer_->canStartOver()) {
    // Bytes handed to a stream's receiver cannot be taken back: the download ends here.
    response_ = ZPResponse(ZPResponse::RESULT_FAILED, ZPResponse::STREAM_ERROR,
                           streamEndMessage(result));
    if (offsetPastEnd(result)) {
      response_.cause = ZPResponse::CAUSE_BAD_STREAM;
    } else {
      response_.cause = outcome.cause == ZPResponse::CAUSE_SERVER_IGNORES_RANGES
                            ? outcome.cause
                            : ZPResponse::CAUSE_RESOURCE_CHANGED;
    }
    // The answer that showed it (a 416 to a stream from past the end names the length).
    response_.httpCode = result.httpCode;
    response_.headers.assign(result.headers.begin(), result.headers.end());
    return AttemptStep::kEnd;
  }
  // Content that failed its check is not fetched again: the server gave these bytes for this
  // validator, and another attempt would download the whole resource to get the same ones.
  // Nor is a 304: it answers a condition the host put on the request, the same way every time.
  // A lasting failure (a 404, say) ends the download when the policy asks for that.
  const bool lastingEnds = result.lasting && !policy_.repeatLastingFailures;
  if (outcome.isSuccess() || outcome.isCancelled() || last || result.contentRejected ||
      result.httpCode == 304 || lastingEnds) {
    if (outcome.isSuccess() && keepServerTime_) {
      serverTime_ = serverTimeOf(result.lastModified, writer_->validator());
    }
    response_ = std::move(result.response);
    response_.httpCode = result.httpCode;
    response_.headers.assign(result.headers.begin(), result.headers.end());
    contentDigest_ = std::move(result.digests);
    *rejected = result.contentRejected;
    return AttemptStep::kEnd;
  }
  // Only evidence against the stored bytes drops them; a failed write (a full disk) or a failed
  // delivery keeps them, so that the next attempt or download continues where this one stopped.
  // Proven-wrong bytes need no pause before starting over: no server failed.
  if (result.discardStored) {
    ZP_LOG(Debug) << "file error: reset";
    writer_->reset();
    digests_.restart();
    storedUnconfirmed_.store(false);
    return AttemptStep::kStartOver;
  }
  return AttemptStep::kRetry;
}

bool FileDownloadTask::offsetPastEnd(const AttemptResult& result) {
  const int64_t offset = request_.streamOffset;
  // A 416 before anything past the offset was handed over: the offset lies at or past the end.
  return result.httpCode == 416 && offset > 0 && writer_->downloadedLength() <= offset;
}

std::string FileDownloadTask::streamEndMessage(const AttemptResult& result) {
  if (!offsetPastEnd(result)) {
    return "resource changed after bytes were handed over: " + result.response.errorMsg;
  }
  std::string message = "stream offset " + std::to_string(request_.streamOffset) +
                        " is at or past the end of the resource";
  const auto range = result.headers.find("content-range");
  const ContentRange stated =
      parseContentRange(range == result.headers.end() ? std::string() : range->second);
  if (stated.hasTotal) message += " (length " + std::to_string(stated.total) + ")";
  return message;
}

int64_t FileDownloadTask::retryDelayAfter(const AttemptResult& result) const {
  const int64_t delayMs = std::max<int32_t>(0, policy_.retryDelayMs);
  if (policy_.repeatLastingFailures) return delayMs;
  const int64_t nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
  const int64_t asked =
      retryAfterMs(result.httpCode, result.headers, nowSeconds, policy_.maxRetryAfterMs);
  return std::max(delayMs, asked);
}

void FileDownloadTask::pauseWithoutSlot(int64_t delayMs) {
  // The pause holds no place in the queue: another queued download transfers meanwhile, and
  // this one waits for a place again before its next attempt.
  if (onPause_) onPause_(true, cancelled_);
  waitCancellable(delayMs);
  if (onPause_) onPause_(false, cancelled_);
}

void FileDownloadTask::completeResponse() {
  // The last stored block's report may have been skipped while another worker reported.
  if (response_.isSuccess()) report(true);
  // The digests computed for the check are the response's: getSha256 and getMd5Etag need not
  // read the delivered file again.
  if (response_.isSuccess()) {
    if (!contentDigest_.sha256.empty()) response_.sha256 = contentDigest_.sha256;
    if (!contentDigest_.md5.empty()) response_.md5Etag = contentDigest_.md5;
  }
  giveServerTime(response_, serverTime_);
  giveFileReader(response_);
  refineDiskCause(response_);
  // A lower layer's error text (libcurl's account of a failure) may quote the URL.
  response_.errorMsg = redactUrlsIn(response_.errorMsg);

  if (isDetailLogEnabled()) {
    ZP_LOG(Debug) << "FileDownloadTask complete, url = " << redactUrl(request_.url)
                  << " , result = " << response_.resultCode
                  << " , errorCode = " << response_.errorCode
                  << " ,errorMsg = " << response_.errorMsg
                  << " , savePath = " << response_.outputFilePath;
  }
}

void FileDownloadTask::sendMetrics(DownloadMetrics& metrics) {
  metrics.result = response_.resultCode;
  metrics.error_msg = response_.errorMsg;
  metrics.client_error_code = response_.errorCode;
  metrics.send(metricsIdentity_);
}

}  // namespace zephyl
