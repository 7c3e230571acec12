// The requests that join a running FileDownloadTask: which of them share the task's own result,
// and the copies the others get, made from that result before any caller sees it.
#include "diagnostics/log.h"
#include "engine/file_download_task.h"
#include "engine/server_time.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

// The task's failure or cancellation, as the outcome of a request that wanted a copy. It never
// names the task's own file or buffer.
ZPResponse outcomeWithoutResult(const ZPResponse& own) {
  ZPResponse outcome(own.resultCode, own.errorCode, own.errorMsg);
  outcome.extraErrorCode = own.extraErrorCode;
  return outcome;
}

}  // namespace

bool FileDownloadTask::join(const ZPRequest& request, const std::optional<ExpectedDigest>& expected,
                            std::shared_ptr<ExtraDelivery>* extra) {
  const DeliveryTarget target = DeliveryTarget::of(request, saveDirPath_, ownTarget_.writeOut);
  // A stream's bytes go to its one receiver as they come: no other request can share them.
  if (target.stream || ownTarget_.stream) return false;
  MutexLock lock(joinLock_);
  if (joinClosed_) return false;
  // A joiner shares the download, and with it the limit of the request that started it; its id
  // names that download from now on (see servesRequest).
  joinedRequestIds_.push_back(request.requestId);
  // Computed with the task's own check (as the bytes arrive, when it comes early enough); a
  // request that joins after that check is served from the delivered result.
  if (expected) digests_.want(expected->algorithm);
  if (target.sameAs(ownTarget_)) {
    extra->reset();
    return true;
  }
  for (const std::shared_ptr<ExtraDelivery>& delivery : extraDeliveries_) {
    if (delivery->target.sameAs(target)) {
      *extra = delivery;
      return true;
    }
  }
  extraDeliveries_.push_back(std::make_shared<ExtraDelivery>(target, expected));
  *extra = extraDeliveries_.back();
  return true;
}

bool FileDownloadTask::servesRequest(int requestId) {
  if (request_.requestId == requestId) return true;
  MutexLock lock(joinLock_);
  for (int id : joinedRequestIds_) {
    if (id == requestId) return true;
  }
  return false;
}

ZPResponse FileDownloadTask::executeFor(const std::shared_ptr<ExtraDelivery>& extra,
                                        const std::optional<ExpectedDigest>& expected) {
  ZPResponse own = execute();
  if (!extra && !expected) return own;
  // The run that ended in execute above filled every delivery joined before it closed.
  MutexLock lock(executeLock_);
  ZPResponse result = extra ? extra->response : own;
  if (!expected) return result;
  const bool dropped = result.errorCode == ZPResponse::CHECKSUM_MISMATCH;
  if (!result.isSuccess() && !dropped) return result;
  ZPResponse verdict = checkContent(*expected, result);
  if (!verdict.isSuccess()) {
    verdict.httpCode = result.httpCode;
    verdict.headers = result.headers;
    return verdict;
  }
  if (dropped) {
    // This request's checksum accepts the content, but the request that owns its target did
    // not: the content was dropped there.
    result.errorMsg = "content dropped: it failed another request's check for the same target";
  }
  return result;
}

ZPResponse FileDownloadTask::checkContent(const ExpectedDigest& expected,
                                          const ZPResponse& result) {
  ContentDigest actual;
  (expected.algorithm == DigestAlgorithm::Md5 ? actual.md5 : actual.sha256) =
      contentDigestOf(expected.algorithm, result);
  return checkDigest(expected, actual);
}

std::string FileDownloadTask::contentDigestOf(DigestAlgorithm algorithm,
                                              const ZPResponse& result) {
  std::string& known = algorithm == DigestAlgorithm::Md5 ? contentDigest_.md5
                                                         : contentDigest_.sha256;
  if (known.empty() && result.isSuccess()) {
    known = algorithm == DigestAlgorithm::Md5 ? result.getMd5Etag() : result.getSha256();
  }
  return known;
}

void FileDownloadTask::settleRejected() {
  bool wanted = false;
  {
    MutexLock lock(joinLock_);
    for (const std::shared_ptr<ExtraDelivery>& delivery : extraDeliveries_) {
      wanted = wanted || !delivery->expected ||
               checkDigest(*delivery->expected, contentDigest_).isSuccess();
    }
  }
  if (!wanted) {
    writer_->discardStored();
    deliverToJoiners(response_, ownTarget_.memory);
    return;
  }
  // Under a hidden name in the own target's directory: the target itself never sees the content.
  ZPRequest hidden = request_;
  hidden.renameIfExists = 0;
  if (!ownTarget_.memory) hidden.savePath = temporaryNameBeside(ownTarget_.path);
  ZPResponse kept(ZPResponse::RESULT_SUCCESS, 0, "");
  const Status moved = writer_->moveToSaveDir(hidden, &kept);
  if (!moved.isOk()) {
    ZP_LOG(Warn) << "rejected content not kept for joined requests: " << moved.message();
    writer_->discardStored();
    deliverToJoiners(response_, ownTarget_.memory);
    return;
  }
  // Joiners whose checksum the content has not been checked against yet read it back.
  giveFileReader(kept);
  deliverToJoiners(kept, ownTarget_.memory);
  if (!ownTarget_.memory) fs::removeFile(kept.outputFilePath);
}

void FileDownloadTask::deliverToJoiners(const ZPResponse& source, bool sourceInMemory) {
  std::vector<std::shared_ptr<ExtraDelivery>> deliveries;
  {
    // Closed before the copies are made, so none can be missed; a later request finds the task
    // closed and starts a download of its own instead of receiving this (soon stale) result.
    MutexLock lock(joinLock_);
    joinClosed_ = true;
    deliveries = extraDeliveries_;
  }
  if (deliveries.empty()) return;
  const int64_t memoryLimitBytes = fs::physicalMemoryBytes();
  for (const std::shared_ptr<ExtraDelivery>& delivery : deliveries) {
    if (delivery->expected &&
        (source.isSuccess() || source.errorCode == ZPResponse::CHECKSUM_MISMATCH)) {
      ZPResponse verdict = checkContent(*delivery->expected, source);
      // Content its first request refuses is not copied to the target.
      if (!verdict.isSuccess()) {
        delivery->response = std::move(verdict);
        continue;
      }
    }
    if (!source.isSuccess()) {
      delivery->response = outcomeWithoutResult(source);
      continue;
    }
    delivery->response = deliverCopy(source, sourceInMemory, delivery->target, memoryLimitBytes);
    giveServerTime(delivery->response, serverTime_);
    ZP_LOG(Debug) << "FileDownloadTask delivered a copy: " << delivery->response.logString();
  }
}

}  // namespace zephyl
