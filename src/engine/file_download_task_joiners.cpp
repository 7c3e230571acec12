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

bool FileDownloadTask::join(const ZPRequest& request, std::shared_ptr<ExtraDelivery>* extra) {
  const DeliveryTarget target = DeliveryTarget::of(request, saveDirPath_, ownTarget_.writeOut);
  // A stream's bytes go to its one receiver as they come: no other request can share them.
  if (target.stream || ownTarget_.stream) return false;
  MutexLock lock(joinLock_);
  if (joinClosed_) return false;
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
  extraDeliveries_.push_back(std::make_shared<ExtraDelivery>(target));
  *extra = extraDeliveries_.back();
  return true;
}

ZPResponse FileDownloadTask::executeFor(const std::shared_ptr<ExtraDelivery>& extra) {
  ZPResponse own = execute();
  if (!extra) return own;
  // The run that ended in execute above filled every delivery joined before it closed.
  MutexLock lock(executeLock_);
  return extra->response;
}

void FileDownloadTask::deliverToJoiners() {
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
    if (!response_.isSuccess()) {
      delivery->response = outcomeWithoutResult(response_);
      continue;
    }
    delivery->response =
        deliverCopy(response_, ownTarget_.memory, delivery->target, memoryLimitBytes);
    giveServerTime(delivery->response, serverTime_);
    ZP_LOG(Debug) << "FileDownloadTask delivered a copy: " << delivery->response.logString();
  }
}

}  // namespace zephyl
