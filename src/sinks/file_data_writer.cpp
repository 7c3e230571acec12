#include "sinks/file_data_writer.h"

#include <utility>

#include "sinks/chunk_plan.h"
#include "sinks/stream_write.h"
#include "storage/file_storage_manager.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

constexpr int64_t kOpenEnded = -1;

}  // namespace

FileDataWriter::FileDataWriter(std::shared_ptr<FileStorageManager> storage, std::string saveDir,
                               std::string fileKey)
    : storage_(std::move(storage)), saveDir_(std::move(saveDir)), fileKey_(std::move(fileKey)) {}

FileDataWriter::~FileDataWriter() = default;

bool FileDataWriter::open(int* errorCode, std::string* errorMsg) {
  // A second try after a failed open keeps the key it already holds: one closeFile follows.
  if (!keyOpen_) {
    paths_ = storage_->openFile(FileKind::SingleFile, fileKey_);
    keyOpen_ = true;
  }
  if (file_) (void)flushAndClose(file_, nullptr, nullptr);
  // A single-file download never resumes: whatever an earlier run left is discarded.
  if (fs::exists(paths_.dataPath)) fs::removeFile(paths_.dataPath);
  file_.reset(fs::fOpenFile(paths_.dataPath, "wb+", errorCode, errorMsg));
  if (file_) makeUnbuffered(file_.get());
  current_ = 0;
  end_ = kOpenEnded;
  return file_ != nullptr;
}

void FileDataWriter::close() {
  if (file_) (void)flushAndClose(file_, nullptr, nullptr);
  if (keyOpen_) {
    keyOpen_ = false;
    storage_->closeFile(FileKind::SingleFile, paths_);
  }
}

bool FileDataWriter::moveToSaveDir(const ZPRequest& request, ZPResponse* response, int* errorCode,
                                   std::string* errorMsg) {
  if (file_ && !flushAndClose(file_, errorCode, errorMsg)) return false;
  const int64_t end = end_.load();
  const int64_t current = current_.load();
  if (end >= 0 && current != end) {
    reportWriterFailure(
        ZPResponse::CACHE_ERROR,
        "download incomplete: " + std::to_string(current) + " of " + std::to_string(end), errorCode,
        errorMsg);
    return false;
  }
  const std::string finalPath =
      storage_->moveToSaveDir(paths_, request, saveDir_, errorCode, errorMsg);
  if (finalPath.empty()) return false;
  // The storage manager released the key with the move.
  keyOpen_ = false;
  response->outputFilePath = finalPath;
  // Without an announced length the bytes stored are the length.
  response->fileLength = end >= 0 ? end : current;
  return true;
}

void FileDataWriter::reset() {
  if (file_) (void)flushAndClose(file_, nullptr, nullptr);
  if (!paths_.dataPath.empty()) {
    if (fs::exists(paths_.dataPath)) fs::removeFile(paths_.dataPath);
    // A failure here leaves the writer closed; the next write reports it.
    file_.reset(fs::fOpenFile(paths_.dataPath, "wb+"));
    if (file_) makeUnbuffered(file_.get());
  }
  current_ = 0;
  end_ = kOpenEnded;
}

ChunkInfo FileDataWriter::chunk() const {
  ChunkInfo single;
  single.end = end_.load();
  single.current = current_.load();
  return single;
}

ChunkInfo FileDataWriter::firstChunk() { return chunk(); }

std::vector<ChunkInfo> FileDataWriter::unfinishedChunks(int /*excludeChunkId*/) { return {}; }

ChunkInfo FileDataWriter::chunkAt(int /*index*/) { return chunk(); }

bool FileDataWriter::setContentLength(int64_t length, int* /*errorCode*/,
                                      std::string* /*errorMsg*/) {
  end_ = length < 0 ? kOpenEnded : length;
  return true;
}

bool FileDataWriter::coverWholeResource(int /*chunkId*/) { return true; }

bool FileDataWriter::write(int /*chunkIndex*/, int size, unsigned char* data, int* errorCode,
                           std::string* errorMsg) {
  if (!file_) {
    reportWriterFailure(ZPResponse::EXECUTE_ERROR, {}, errorCode, errorMsg);
    return false;
  }
  if (size < 0 || (size > 0 && data == nullptr)) {
    reportWriterFailure(ZPResponse::EXECUTE_ERROR, kBadWriteMessage, errorCode, errorMsg);
    return false;
  }
  if (size == 0) return true;
  const int64_t current = current_.load();
  const int64_t end = end_.load();
  if (end >= 0 && size > end - current) {
    reportWriterFailure(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage, errorCode, errorMsg);
    return false;
  }
  if (!writeAt(file_.get(), current, data, size, errorCode, errorMsg)) return false;
  current_ = current + size;
  return true;
}

int64_t FileDataWriter::contentLength() { return end_.load(); }

int64_t FileDataWriter::downloadedLength() { return current_.load(); }

}  // namespace zephyl
