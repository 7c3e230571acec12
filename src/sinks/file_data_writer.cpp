#include "sinks/file_data_writer.h"

#include <utility>

#include "sinks/chunk_plan.h"
#include "sinks/stream_write.h"
#include "sinks/validator_file.h"
#include "storage/file_storage_manager.h"
#include "storage/fs.h"
#include "storage/progress_file.h"

namespace zephyl {
namespace {

constexpr int64_t kOpenEnded = -1;

// A complete download whose delivery failed is marked by a record beside it (the progress-file
// format, one finished range), so that the next download of the key only delivers it.
std::string completeMarkerOf(const FilePaths& paths) { return paths.dataPath + ".info"; }

// The length of the complete download the marker vouches for, or -1.
int64_t markedCompleteLength(const FilePaths& paths) {
  const std::string marker = completeMarkerOf(paths);
  if (!fs::exists(marker) || !fs::exists(paths.dataPath)) return -1;
  std::vector<ChunkInfo> records;
  int64_t length = 0;
  if (!loadProgress(marker, records, length) || records.size() != 1) return -1;
  const ChunkInfo& whole = records.front();
  if (whole.start != 0 || whole.current != length || whole.end != length) return -1;
  return fs::statFileLength(paths.dataPath) == length ? length : -1;
}

}  // namespace

FileDataWriter::FileDataWriter(std::shared_ptr<FileStorageManager> storage, std::string saveDir,
                               std::string fileKey, const std::atomic<bool>* cancelled,
                               bool writeOutBeforeDelivery)
    : storage_(std::move(storage)),
      saveDir_(std::move(saveDir)),
      fileKey_(std::move(fileKey)),
      cancelled_(cancelled),
      writeOutBeforeDelivery_(writeOutBeforeDelivery) {}

FileDataWriter::~FileDataWriter() = default;

Status FileDataWriter::open() {
  // A second try after a failed open keeps the key it already holds: one closeFile follows.
  // Taking the key waits while another writer (thread, manager or process) holds it.
  if (!keyOpen_) {
    Status opened = storage_->openFile(FileKind::SingleFile, fileKey_, cancelled_, &paths_);
    if (!opened.isOk()) return opened;
    keyOpen_ = true;
  }
  if (file_) (void)flushAndClose(file_);
  {
    MutexLock lock(validatorMutex_);
    validator_.clear();
  }
  // A complete download left by a failed delivery is delivered, not fetched again.
  const int64_t complete = markedCompleteLength(paths_);
  if (complete >= 0) {
    std::string validator;
    if (loadValidator(paths_.validatorPath, &validator)) {
      MutexLock lock(validatorMutex_);
      validator_ = validator;
    }
    current_ = complete;
    end_ = complete;
    writebackFrom_ = complete;
    return Status::ok();
  }
  // Otherwise a single-file download never resumes: whatever an earlier run left is discarded.
  if (fs::exists(completeMarkerOf(paths_))) fs::removeFile(completeMarkerOf(paths_));
  if (fs::exists(paths_.dataPath)) fs::removeFile(paths_.dataPath);
  Status status;
  file_.reset(fs::fOpenFile(paths_.dataPath, "wb+", &status));
  if (file_) makeUnbuffered(file_.get());
  current_ = 0;
  end_ = kOpenEnded;
  writebackFrom_ = 0;
  return status;
}

void FileDataWriter::close() {
  if (file_) (void)flushAndClose(file_);
  if (keyOpen_) {
    keyOpen_ = false;
    storage_->closeFile(FileKind::SingleFile, paths_);
  }
}

Status FileDataWriter::moveToSaveDir(const ZPRequest& request, ZPResponse* response) {
  // Written out before it is renamed into place: a crash never leaves an empty or short file
  // under the delivered name. Unless the host does not need that: then only a failed move below
  // waits for the data.
  if (file_) {
    Status closed = writeOutBeforeDelivery_ ? fs::writeOutFile(file_.get()) : Status::ok();
    if (closed.isOk()) closed = flushAndClose(file_);
    if (!closed.isOk()) return closed;
  }
  const int64_t end = end_.load();
  const int64_t current = current_.load();
  if (end >= 0 && current != end) {
    return Status::error(
        ZPResponse::CACHE_ERROR,
        "download incomplete: " + std::to_string(current) + " of " + std::to_string(end));
  }
  Status moved;
  const std::string finalPath = storage_->moveToSaveDir(paths_, request, saveDir_, &moved);
  if (finalPath.empty()) {
    // The marker claims every byte: they reach the disk before it does.
    if (writeOutBeforeDelivery_ || syncFileAt(paths_.dataPath)) {
      markComplete(end >= 0 ? end : current);
    }
    return moved;
  }
  if (fs::exists(completeMarkerOf(paths_))) fs::removeFile(completeMarkerOf(paths_));
  // The storage manager released the key with the move.
  keyOpen_ = false;
  response->outputFilePath = finalPath;
  // Without an announced length the bytes stored are the length.
  response->fileLength = end >= 0 ? end : current;
  return Status::ok();
}

void FileDataWriter::markComplete(int64_t length) {
  // The validator first: a marker never vouches for bytes without the validator they came with.
  if (!saveValidator(paths_.validatorPath, validator())) return;
  ChunkInfo whole;
  whole.end = length;
  whole.current = length;
  (void)saveProgress(completeMarkerOf(paths_), {whole}, length);
}

void FileDataWriter::reset() {
  if (file_) (void)flushAndClose(file_);
  if (!paths_.dataPath.empty()) {
    if (fs::exists(completeMarkerOf(paths_))) fs::removeFile(completeMarkerOf(paths_));
    if (fs::exists(paths_.dataPath)) fs::removeFile(paths_.dataPath);
    // A failure here leaves the writer closed; the next write reports it.
    file_.reset(fs::fOpenFile(paths_.dataPath, "wb+"));
    if (file_) makeUnbuffered(file_.get());
  }
  current_ = 0;
  end_ = kOpenEnded;
  writebackFrom_ = 0;
  MutexLock lock(validatorMutex_);
  validator_.clear();
}

ChunkInfo FileDataWriter::chunk() const {
  ChunkInfo single;
  single.end = end_.load();
  single.current = current_.load();
  return single;
}

bool FileDataWriter::readStored(int64_t offset, void* buffer, size_t size) {
  if (file_) return readAt(file_.get(), offset, buffer, size);
  // A failed delivery closed the stream; the file is still the key's.
  FileHandle file(fs::fOpenFile(paths_.dataPath, "rb"));
  return file && readAt(file.get(), offset, buffer, size);
}

void FileDataWriter::discardStored() {
  // The key is open here: the storage manager deletes the file (and the record that marks it
  // complete) when close hands it back; the record goes now, so no open takes the bytes meanwhile.
  if (fs::exists(completeMarkerOf(paths_))) fs::removeFile(completeMarkerOf(paths_));
  storage_->removeTempFile(fileKey_);
}

ChunkInfo FileDataWriter::firstChunk() { return chunk(); }

bool FileDataWriter::nextChunk(int /*afterChunkId*/, ChunkInfo* /*chunk*/) { return false; }

ChunkInfo FileDataWriter::chunkAt(int /*chunkId*/) { return chunk(); }

bool FileDataWriter::lengthConflicts(int64_t length) {
  // Once a length is known, an answer with another one (or none) is another resource, or a
  // server that cannot be trusted: its bytes must not be spliced onto the stored ones.
  const int64_t known = end_.load();
  return known != kOpenEnded && known != (length < 0 ? kOpenEnded : length);
}

Status FileDataWriter::setContentLength(int64_t length) {
  const int64_t known = end_.load();
  const int64_t stated = length < 0 ? kOpenEnded : length;
  if (lengthConflicts(length)) {
    return Status::error(ZPResponse::CACHE_ERROR, length < 0
                                                      ? std::string(kUnknownLengthMessage)
                                                      : contentLengthErrorMessage(length, known));
  }
  // The whole file's room is taken before its first byte, once: a disk that cannot hold it
  // fails the download now instead of at its end.
  if (stated > 0 && known != stated && file_) {
    const Status reserved = fs::reserveFileSpace(file_.get(), stated);
    if (!reserved.isOk()) return noRoomFailure(stated, reserved);
  }
  end_ = stated;
  return Status::ok();
}

std::string FileDataWriter::validator() {
  MutexLock lock(validatorMutex_);
  return validator_;
}

void FileDataWriter::setValidator(const std::string& validator) {
  MutexLock lock(validatorMutex_);
  validator_ = validator;
}

bool FileDataWriter::coverWholeResource(int /*chunkId*/) { return true; }

Status FileDataWriter::write(int /*chunkId*/, int size, unsigned char* data) {
  if (!file_) {
    return Status::error(ZPResponse::EXECUTE_ERROR, {});
  }
  if (size < 0 || (size > 0 && data == nullptr)) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kBadWriteMessage);
  }
  if (size == 0) return Status::ok();
  const int64_t current = current_.load();
  const int64_t end = end_.load();
  if (end >= 0 && size > end - current) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage);
  }
  Status written = writeAt(file_.get(), current, data, size);
  if (!written.isOk()) return written;
  const int64_t stored = current + size;
  current_ = stored;
  // Stored bytes are never written again: their write-back starts now, without waiting for it.
  if (stored - writebackFrom_ >= kWritebackSpanBytes) {
    fs::startWriteback(file_.get(), writebackFrom_, stored - writebackFrom_);
    writebackFrom_ = stored;
  }
  return Status::ok();
}

int64_t FileDataWriter::contentLength() { return end_.load(); }

int64_t FileDataWriter::downloadedLength() { return current_.load(); }

}  // namespace zephyl
