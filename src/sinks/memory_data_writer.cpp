#include "sinks/memory_data_writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "sinks/chunk_plan.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

using Buffer = std::vector<unsigned char>;

// A zeroed buffer of length bytes, or null when the machine cannot hold it. A length the server
// announced must never end the process: with memory overcommitted an allocation far beyond the
// machine's memory may succeed and the zeroing then brings the out-of-memory killer, so lengths
// over half the physical memory are refused before any allocation. The nothrow request comes next
// because some allocators (sanitizer runtimes among them) abort the process instead of throwing
// when a plain new cannot be satisfied.
std::shared_ptr<Buffer> allocateBuffer(int64_t length) {
  if (static_cast<uint64_t>(length) > Buffer().max_size()) return nullptr;
  const int64_t physical = fs::physicalMemoryBytes();
  if (physical > 0 && length > physical / 2) return nullptr;
  const size_t size = static_cast<size_t>(length);
  void* probe = ::operator new(size, std::nothrow);
  if (probe == nullptr) return nullptr;
  ::operator delete(probe);
  try {
    return std::make_shared<Buffer>(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

MemoryDataWriter::MemoryDataWriter(std::string fileKey, int64_t blockSize)
    : PlannedDataWriter(blockSize), fileKey_(std::move(fileKey)) {}

MemoryDataWriter::~MemoryDataWriter() = default;

Status MemoryDataWriter::open() { return Status::ok(); }

void MemoryDataWriter::close() {}

Status MemoryDataWriter::moveToSaveDir(const ZPRequest& /*request*/, ZPResponse* response) {
  MutexLock lock(mutex_);
  const int64_t length = contentLength_.load();
  // A success must not hand over a buffer with zeroed gaps.
  if (length > 0 && !isPlanComplete(chunks_, length)) {
    const std::string message = "download incomplete: " + std::to_string(downloadedLength_.load()) +
                                " of " + std::to_string(length);
    return Status::error(ZPResponse::CACHE_ERROR, message);
  }
  response->outputData = data_;
  // Without a stated length the body's end decided it.
  response->fileLength = length >= 0 ? length : downloadedLength_.load();
  return Status::ok();
}

void MemoryDataWriter::reset() {
  MutexLock lock(mutex_);
  chunks_.clear();
  data_.reset();
  validator_.clear();
  downloadedLength_ = 0;
  contentLength_ = 0;
}

bool MemoryDataWriter::readStored(int64_t offset, void* buffer, size_t size) {
  MutexLock lock(mutex_);
  if (data_ == nullptr || offset < 0 || static_cast<uint64_t>(offset) > data_->size() ||
      size > data_->size() - static_cast<size_t>(offset)) {
    return false;
  }
  if (size > 0) std::memcpy(buffer, data_->data() + offset, size);
  return true;
}

void MemoryDataWriter::discardStored() { reset(); }

bool MemoryDataWriter::lengthConflicts(int64_t length) {
  MutexLock lock(mutex_);
  const int64_t known = contentLength_.load();
  if (length < 0) return known > 0 || (data_ != nullptr && downloadedLength_.load() > 0);
  return (known != 0 || data_ != nullptr) && known != length;
}

std::string MemoryDataWriter::validator() {
  MutexLock lock(mutex_);
  return validator_;
}

void MemoryDataWriter::setValidator(const std::string& validator) {
  MutexLock lock(mutex_);
  validator_ = validator;
}

Status MemoryDataWriter::setContentLength(int64_t length) {
  MutexLock lock(mutex_);
  if (length < 0) {
    // The body comes over one connection until it ends, into a buffer that grows with it.
    // A retry of an open-ended download that stored nothing yet starts it again.
    const bool emptyOpenEnded = contentLength_.load() < 0 && data_ != nullptr && data_->empty();
    if ((contentLength_.load() != 0 || data_ != nullptr) && !emptyOpenEnded) {
      return Status::error(ZPResponse::CACHE_ERROR, kUnknownLengthMessage);
    }
    if (!startOpenEndedPlan(chunks_)) {
      return Status::error(ZPResponse::CACHE_ERROR, kUnknownLengthMessage);
    }
    if (data_ == nullptr) data_ = std::make_shared<Buffer>();
    contentLength_ = -1;
    return Status::ok();
  }
  // The buffer exists once a length is known (0 included): another length means another resource.
  Status allowed = checkKnownLengthLocked(length, data_ != nullptr);
  if (!allowed.isOk()) return allowed;
  std::shared_ptr<Buffer> buffer = data_;
  if (buffer == nullptr) {
    // An empty resource is delivered as an empty buffer, never as none.
    buffer = length > 0 ? allocateBuffer(length) : std::make_shared<Buffer>();
    if (buffer == nullptr) {
      const std::string message = "contentLength too large for memory: " + std::to_string(length);
      return Status::error(ZPResponse::CACHE_ERROR, message);
    }
  }
  data_ = std::move(buffer);
  contentLength_ = length;
  return Status::ok();
}

Status MemoryDataWriter::write(int chunkId, int size, unsigned char* data) {
  if (size < 0 || (size > 0 && data == nullptr)) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kBadWriteMessage);
  }
  MutexLock lock(mutex_);
  if (data_ == nullptr || !isPlannedLocked(chunkId)) {
    return Status::error(ZPResponse::EXECUTE_ERROR, {});
  }
  ChunkInfo& chunk = chunks_[static_cast<size_t>(chunkId)];
  if (contentLength_.load() < 0) return appendUnknownLength(chunk, size, data);
  const int64_t limit =
      std::min(chunkLimit(chunk, contentLength_.load()), static_cast<int64_t>(data_->size()));
  if (size > limit - chunk.current) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage);
  }
  if (size == 0) return Status::ok();
  std::memcpy(data_->data() + chunk.current, data, static_cast<size_t>(size));
  chunk.current += size;
  downloadedLength_.fetch_add(size);
  return Status::ok();
}

Status MemoryDataWriter::appendUnknownLength(ChunkInfo& chunk, int size,
                                             const unsigned char* data) {
  // The one open chunk receives the body in order: its bytes always go to the buffer's end.
  if (chunk.current != static_cast<int64_t>(data_->size())) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage);
  }
  try {
    data_->insert(data_->end(), data, data + size);
  } catch (const std::exception&) {
    return Status::error(ZPResponse::EXECUTE_ERROR, "out of memory");
  }
  chunk.current += size;
  downloadedLength_.fetch_add(size);
  return Status::ok();
}

}  // namespace zephyl
