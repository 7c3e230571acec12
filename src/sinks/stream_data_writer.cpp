#include "sinks/stream_data_writer.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include "diagnostics/host_call.h"
#include "sinks/chunk_plan.h"

namespace zephyl {
namespace {

// How often a write waiting for room looks at the task's cancel flag (nobody signals it here).
constexpr auto kRoomPoll = std::chrono::milliseconds(50);

constexpr char kStoppedMessage[] = "the receiver stopped the download";

}  // namespace

StreamDataWriter::StreamDataWriter(Receiver receiver, int64_t blockSize,
                                   const std::atomic<bool>* cancelled, int64_t reorderLimitBytes,
                                   int64_t startOffset, StopListener onStopped)
    : PlannedDataWriter(blockSize),
      receiver_(std::move(receiver)),
      cancelled_(cancelled),
      reorderLimitBytes_(std::max<int64_t>(1, reorderLimitBytes)),
      startOffset_(startOffset),
      onStopped_(std::move(onStopped)) {
  MutexLock lock(mutex_);
  startPlan();
}

void StreamDataWriter::startPlan() {
  chunks_.clear();
  handedUpTo_ = std::max<int64_t>(0, startOffset_);
  downloadedLength_ = handedUpTo_;
  if (handedUpTo_ == 0) return;
  ChunkInfo before;
  before.end = handedUpTo_;
  before.current = handedUpTo_;
  ChunkInfo first;
  first.chunkId = 1;
  first.start = handedUpTo_;
  first.current = handedUpTo_;
  first.end = blockSize_ > std::numeric_limits<int64_t>::max() - handedUpTo_
                  ? std::numeric_limits<int64_t>::max()
                  : handedUpTo_ + blockSize_;
  chunks_ = {before, first};
}

StreamDataWriter::~StreamDataWriter() = default;

Status StreamDataWriter::open() {
  if (!receiver_) {
    return Status::error(ZPResponse::STREAM_ERROR, "stream output without a data callback");
  }
  if (startOffset_ < 0) return Status::error(ZPResponse::STREAM_ERROR, "negative stream offset");
  return Status::ok();
}

void StreamDataWriter::close() {
  MutexLock lock(mutex_);
  waiting_.clear();
  waitingBytes_ = 0;
}

Status StreamDataWriter::moveToSaveDir(const ZPRequest& /*request*/, ZPResponse* response) {
  MutexLock lock(mutex_);
  const int64_t length = contentLength_.load();
  if (length >= 0 && handedUpTo_ != length) {
    const std::string message =
        "stream incomplete: " + std::to_string(handedUpTo_) + " of " + std::to_string(length);
    return Status::error(ZPResponse::STREAM_ERROR, message);
  }
  response->fileLength = handedUpTo_;
  return Status::ok();
}

void StreamDataWriter::reset() {
  MutexLock lock(mutex_);
  waiting_.clear();
  waitingBytes_ = 0;
  validator_.clear();
  lengthSet_ = false;
  contentLength_ = 0;
  if (handedUpTo_ == startOffset_) {
    startPlan();
  } else {
    chunks_.clear();
    downloadedLength_ = handedUpTo_;
  }
  changed_.notifyAll();
}

bool StreamDataWriter::readStored(int64_t, void*, size_t) { return false; }

void StreamDataWriter::discardStored() {}

bool StreamDataWriter::lengthConflicts(int64_t length) {
  MutexLock lock(mutex_);
  const int64_t known = contentLength_.load();
  if (length < 0) return known > 0 || (lengthSet_ && downloadedLength_.load() > 0);
  return (known != 0 || lengthSet_) && known != length;
}

Status StreamDataWriter::setContentLength(int64_t length) {
  MutexLock lock(mutex_);
  if (length < 0) {
    // The body comes over one connection until it ends, in order: nothing waits in the buffer.
    const bool emptyOpenEnded = contentLength_.load() < 0 && downloadedLength_.load() == 0;
    if (((contentLength_.load() != 0 || lengthSet_) && !emptyOpenEnded) ||
        !startOpenEndedPlan(chunks_)) {
      return Status::error(ZPResponse::CACHE_ERROR, kUnknownLengthMessage);
    }
    lengthSet_ = true;
    contentLength_ = -1;
    return Status::ok();
  }
  Status allowed = checkKnownLengthLocked(length, lengthSet_);
  if (!allowed.isOk()) return allowed;
  lengthSet_ = true;
  contentLength_ = length;
  return Status::ok();
}

Status StreamDataWriter::write(int chunkId, int size, unsigned char* data) {
  if (size < 0 || (size > 0 && data == nullptr)) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kBadWriteMessage);
  }
  {
    MutexLock lock(mutex_);
    Status refusal;
    const Admission admission = admit(chunkId, size, data, &refusal);
    if (admission != Admission::kTurn) return refusal;
  }
  return handOver(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
}

StreamDataWriter::Admission StreamDataWriter::admit(int chunkId, int size,
                                                    const unsigned char* data, Status* refusal) {
  if (!isPlannedLocked(chunkId) || !lengthSet_) {
    *refusal = Status::error(ZPResponse::EXECUTE_ERROR, {});
    return Admission::kRefused;
  }
  // The chunk is looked up by index after every wait: the plan may grow meanwhile.
  const size_t index = static_cast<size_t>(chunkId);
  if (contentLength_.load() >= 0 &&
      size > chunkLimit(chunks_[index], contentLength_.load()) - chunks_[index].current) {
    *refusal = Status::error(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage);
    return Admission::kRefused;
  }
  auto lastProgress = std::chrono::steady_clock::now();
  int64_t lastHanded = handedUpTo_;
  for (;;) {
    if (stopped_) {
      *refusal = Status::error(ZPResponse::STREAM_STOPPED, kStoppedMessage);
      return Admission::kRefused;
    }
    const int64_t offset = chunks_[index].current;
    if (offset < handedUpTo_) {  // bytes handed over already: the plan went wrong
      *refusal = Status::error(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage);
      return Admission::kRefused;
    }
    if (!handing_ && offset == handedUpTo_) break;  // next in order: this worker hands over
    // A write larger than the bound is still taken into an empty buffer, so none waits forever.
    if (waitingBytes_ == 0 || waitingBytes_ + size <= reorderLimitBytes_) {
      if (size > 0) {
        waiting_[offset].assign(data, data + size);
        waitingBytes_ += size;
        highWaterBytes_ = std::max(highWaterBytes_, waitingBytes_);
      }
      chunks_[index].current += size;
      downloadedLength_.fetch_add(size);
      return Admission::kBuffered;
    }
    const auto now = std::chrono::steady_clock::now();
    if (handedUpTo_ != lastHanded) {
      lastHanded = handedUpTo_;
      lastProgress = now;
    }
    if (interrupted_ || (cancelled_ != nullptr && cancelled_->load()) ||
        now - lastProgress >= std::chrono::milliseconds(kMaxRoomWaitMs)) {
      *refusal =
          Status::error(ZPResponse::DATA_WRITE_ERROR, "stream stopped while waiting for room");
      return Admission::kRefused;
    }
    changed_.waitFor(mutex_, kRoomPoll);
  }
  handing_ = true;
  chunks_[index].current += size;
  handedUpTo_ += size;
  downloadedLength_.fetch_add(size);
  return Admission::kTurn;
}

Status StreamDataWriter::handOver(const char* data, size_t size) {
  std::vector<char> held;  // the waiting bytes being handed over, taken out of the buffer
  for (;;) {
    const bool more = size == 0 || callReceiver(data, size);
    if (!more) {
      {
        MutexLock lock(mutex_);
        stopped_ = true;
        handing_ = false;
        changed_.notifyAll();
      }
      // The receiver wants nothing more: no transfer may go on or ask again for the bytes after
      // the ones it took, as it would after a cut connection.
      if (onStopped_) onStopped_();
      return Status::error(ZPResponse::STREAM_STOPPED, kStoppedMessage);
    }
    MutexLock lock(mutex_);
    const auto next = waiting_.find(handedUpTo_);
    if (next == waiting_.end()) {
      handing_ = false;
      changed_.notifyAll();
      return Status::ok();
    }
    held = std::move(next->second);
    waiting_.erase(next);
    waitingBytes_ -= static_cast<int64_t>(held.size());
    handedUpTo_ += static_cast<int64_t>(held.size());
    changed_.notifyAll();  // room was made
    data = held.data();
    size = held.size();
  }
}

bool StreamDataWriter::callReceiver(const char* data, size_t size) {
  // A receiver that throws cannot have taken the bytes: the download stops like on false.
  bool more = false;
  const std::function<void()> call = [&] { more = receiver_(data, size); };
  callHost("onData", call);
  return more;
}

std::string StreamDataWriter::validator() {
  MutexLock lock(mutex_);
  return validator_;
}

void StreamDataWriter::setValidator(const std::string& validator) {
  MutexLock lock(mutex_);
  validator_ = validator;
}

bool StreamDataWriter::canStartOver() {
  MutexLock lock(mutex_);
  return handedUpTo_ == 0 && startOffset_ <= 0;
}

bool StreamDataWriter::stoppedByReceiver() {
  MutexLock lock(mutex_);
  return stopped_;
}

void StreamDataWriter::setWaitsInterrupted(bool interrupted) {
  MutexLock lock(mutex_);
  interrupted_ = interrupted;
  changed_.notifyAll();
}

int64_t StreamDataWriter::reorderHighWaterBytes() {
  MutexLock lock(mutex_);
  return highWaterBytes_;
}

}  // namespace zephyl
