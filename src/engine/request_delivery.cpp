#include "engine/request_delivery.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "records/response_content.h"
#include "sinks/stream_write.h"
#include "storage/file_handle.h"
#include "storage/file_storage_manager.h"
#include "storage/fs.h"
#include "storage/path_text.h"

namespace zephyl {
namespace {

using Buffer = std::vector<uint8_t>;

ZPResponse copyFailure(int code, const std::string& message) {
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::CACHE_ERROR, message);
  response.extraErrorCode = code;
  return response;
}

ZPResponse copyFailure(const Status& status) {
  return copyFailure(status.code(), status.message());
}

ZPResponse fileResult(const std::string& path, int64_t length) {
  ZPResponse response(ZPResponse::RESULT_SUCCESS, 0, "");
  response.outputFilePath = path;
  response.fileLength = length;
  return response;
}

ZPResponse memoryResult(std::shared_ptr<Buffer> data, int64_t length) {
  ZPResponse response(ZPResponse::RESULT_SUCCESS, 0, "");
  response.outputData = std::move(data);
  response.fileLength = length;
  return response;
}

// Puts a file at target.path through place(candidate, replace), which returns a Status:
// replacing what is there, or with renameIfExists at the first free name of path, path(1), ...
// (place must then never replace). Returns the path used; empty on failure, with the report in
// *status.
template <typename Place>
std::string placeAtTarget(const DeliveryTarget& target, Place place, Status* status) {
  if (!target.renameIfExists) {
    *status = place(target.path, true);
    return status->isOk() ? target.path : std::string();
  }
  for (int n = 0; n < FileStorageManager::kMaxRenameTries; ++n) {
    const std::string candidate = n == 0 ? target.path : indexedName(target.path, n);
    if (fs::exists(candidate)) continue;
    *status = place(candidate, false);
    if (status->isOk()) return candidate;
    // Another writer took the name between the check and the placing: try the next one. Any
    // other failure ends the delivery.
    if (!fs::exists(candidate)) return {};
  }
  *status = Status::error(FileStorageManager::kStorageError, "no free file name");
  return {};
}

// A buffer of size bytes, or null when the process cannot hold it. The nothrow probe comes first:
// some allocators (sanitizer runtimes among them) abort instead of throwing.
std::shared_ptr<Buffer> allocateBuffer(int64_t size) {
  if (size < 0 || static_cast<uint64_t>(size) > Buffer().max_size()) return nullptr;
  const size_t bytes = static_cast<size_t>(size);
  void* probe = ::operator new(bytes, std::nothrow);
  if (probe == nullptr) return nullptr;
  ::operator delete(probe);
  try {
    return std::make_shared<Buffer>(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ZPResponse memoryToMemory(const ZPResponse& source) {
  std::shared_ptr<Buffer> data = source.outputData;
  // An empty resource is still an (empty) buffer for its memory requesters.
  if (data == nullptr) data = std::make_shared<Buffer>();
  return memoryResult(std::move(data), source.fileLength);
}

// Writes the buffer completely to a new file at path. Requires: path does not exist.
Status writeNewFile(const std::string& path, const Buffer* data, int64_t length, bool writeOut) {
  Status status;
  FileHandle file(fs::fOpenFile(path, "wb", &status));
  if (!file) return status;
  makeUnbuffered(file.get());
  if (length > 0)
    status = fs::writeFileAt(file.get(), 0, data->data(), static_cast<size_t>(length));
  // Written out before it takes the target's name: a crash never leaves a short file there.
  if (status.isOk() && writeOut) status = fs::writeOutFile(file.get());
  if (!status.isOk()) return status;
  return flushAndClose(file);
}

ZPResponse memoryToFile(const ZPResponse& source, const DeliveryTarget& target) {
  const int64_t length = source.fileLength;
  if (length > 0 &&
      (source.outputData == nullptr || static_cast<uint64_t>(length) > source.outputData->size())) {
    return copyFailure(ZPResponse::CACHE_ERROR, "delivered buffer shorter than its length");
  }
  // The whole file is written under a name of its own first: a reader of the target never sees
  // it half-written, and a failed write leaves the target as it was.
  const std::string temporary = temporaryNameBeside(target.path);
  Status status = writeNewFile(temporary, source.outputData.get(), length, target.writeOut);
  if (!status.isOk()) {
    fs::removeFile(temporary);
    return copyFailure(status);
  }
  auto moveIntoPlace = [&temporary](const std::string& candidate, bool replace) {
    return fs::moveFile(temporary, candidate, replace);
  };
  const std::string placed = placeAtTarget(target, moveIntoPlace, &status);
  if (placed.empty()) {
    fs::removeFile(temporary);
    return copyFailure(status);
  }
  return fileResult(placed, length);
}

ZPResponse fileToFile(const ZPResponse& source, const DeliveryTarget& target) {
  auto copyTo = [&source](const std::string& candidate, bool replace) {
    return fs::copyFile(source.outputFilePath, candidate, replace);
  };
  Status status;
  const std::string placed = placeAtTarget(target, copyTo, &status);
  if (placed.empty()) return copyFailure(status);
  return fileResult(placed, source.fileLength);
}

ZPResponse fileToMemory(const ZPResponse& source, int64_t memoryLimitBytes) {
  const int64_t length = source.fileLength;
  const std::string tooLarge = "file too large for memory: " + std::to_string(length);
  if (memoryLimitBytes > 0 && length > memoryLimitBytes) {
    return copyFailure(ZPResponse::CACHE_ERROR, tooLarge);
  }
  std::shared_ptr<Buffer> data = allocateBuffer(length);
  if (data == nullptr) return copyFailure(ZPResponse::CACHE_ERROR, tooLarge);
  Status status;
  FileHandle file(fs::fOpenFile(source.outputFilePath, "rb", &status));
  if (!file) return copyFailure(status);
  size_t done = 0;
  while (done < data->size()) {
    const size_t read = std::fread(data->data() + done, 1, data->size() - done, file.get());
    if (read == 0) break;
    done += read;
  }
  if (done != data->size()) {
    return copyFailure(ZPResponse::CACHE_ERROR,
                       "delivered file shorter than its length: " + std::to_string(done) + " of " +
                           std::to_string(length));
  }
  return memoryResult(std::move(data), length);
}

// Hands the file at path to sink in blocks, in order.
bool readFileBlocks(const std::string& path, const ResponseContent::BlockSink& sink) {
  FileHandle file(fs::fOpenFile(path, "rb"));
  if (!file) return false;
  unsigned char block[64 * 1024];
  size_t read = 0;
  while ((read = std::fread(block, 1, sizeof block, file.get())) > 0) {
    if (!sink(block, read)) return false;
  }
  return std::ferror(file.get()) == 0;
}

// deliverCopy without the file reader.
ZPResponse copyResult(const ZPResponse& source, bool sourceInMemory, const DeliveryTarget& target,
                      int64_t memoryLimitBytes) {
  if (target.memory) {
    return sourceInMemory ? memoryToMemory(source) : fileToMemory(source, memoryLimitBytes);
  }
  if (target.path.empty()) {
    return copyFailure(FileStorageManager::kStorageError, "empty save directory");
  }
  // The request names the very file the download was delivered to (another spelling of it, or
  // the name a renaming delivery picked): that file is its result too.
  if (!sourceInMemory && !target.renameIfExists &&
      normalisePath(target.path) == normalisePath(source.outputFilePath)) {
    return fileResult(source.outputFilePath, source.fileLength);
  }
  const std::string directory = fs::parentDirOf(target.path);
  const Status created = directory.empty() ? Status::ok() : fs::createDirectories(directory);
  if (!created.isOk()) {
    ZP_LOG(Warn) << "deliverCopy failed, directory create failed. " << directory;
    return copyFailure(created);
  }
  ZPResponse result = sourceInMemory ? memoryToFile(source, target) : fileToFile(source, target);
  if (!result.isSuccess()) {
    ZP_LOG(Warn) << "deliverCopy to " << target.path << " failed: " << result.errorMsg;
  }
  return result;
}

// The directory in which delivery would create path's missing directories: the nearest one above
// path that exists, never above path's root. A drive or a share cannot be made, so a missing one
// is the directory that fails (and the error names it); "." for a relative path.
std::string nearestDirectory(const std::string& path) {
  const size_t rootLength = pathRootLength(path);
  std::string directory = fs::parentDirOf(path);
  while (directory.size() > rootLength && !fs::exists(directory)) {
    directory = fs::parentDirOf(directory);
  }
  if (directory.size() > rootLength) return directory;
  return rootLength > 0 ? path.substr(0, rootLength) : ".";
}

}  // namespace

// A random part, plus a counter that keeps two names of this process apart even when the random
// source repeats itself.
std::string temporaryNameBeside(const std::string& path) {
  static std::atomic<uint64_t> counter{0};
  thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(nowMs())};
  return fs::parentDirOf(path) + "/." + fs::fileNameOf(path) + "." + std::to_string(random()) +
         "-" + std::to_string(++counter) + ".part";
}

DeliveryTarget DeliveryTarget::of(const ZPRequest& request, const std::string& saveDirPath,
                                  bool writeOut) {
  DeliveryTarget target;
  target.writeOut = writeOut;
  if (request.outputType == ZPRequest::OUTPUT_MEMORY) {
    target.memory = true;
    return target;
  }
  if (request.outputType == ZPRequest::OUTPUT_STREAM) {
    target.stream = true;
    return target;
  }
  target.renameIfExists = request.renameIfExists != 0;
  if (!request.savePath.empty()) {
    target.path = request.savePath;
  } else if (!saveDirPath.empty()) {
    target.path = saveDirPath + "/" + request.fileKey;
  }
  return target;
}

bool DeliveryTarget::sameAs(const DeliveryTarget& other) const {
  if (stream || other.stream) return false;
  if (memory || other.memory) return memory == other.memory;
  return renameIfExists == other.renameIfExists && normalisePath(path) == normalisePath(other.path);
}

ZPResponse checkTargetWritable(const DeliveryTarget& target) {
  if (target.memory || target.stream) return ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  if (target.path.empty()) {
    return copyFailure(FileStorageManager::kStorageError, "empty save directory");
  }
  // Names the system cannot hold fail now, not after the download; then the directory that
  // delivery creates the missing ones in must take them. Nothing is created here, so that a
  // download that fails leaves no empty directories behind.
  Status usable = fs::checkPathNames(target.path);
  std::string directory;
  if (usable.isOk()) {
    // Nearly always the target's own directory exists: it is checked at once, and the walk up
    // to the nearest existing one is made only when it is missing.
    directory = fs::parentDirOf(target.path);
    if (directory.size() <= pathRootLength(target.path) ||
        !fs::checkWritableDirectory(directory).isOk()) {
      directory = nearestDirectory(target.path);
      usable = fs::checkWritableDirectory(directory);
    }
    if (!usable.isOk()) {
      usable = Status::systemError(usable.systemCode(), directory + ": " + usable.message());
    }
  }
  if (usable.isOk() && (target.renameIfExists || !fs::directoryExists(target.path))) {
    return ZPResponse(ZPResponse::RESULT_SUCCESS, 0, "");
  }
  if (usable.isOk()) {
    usable = Status::error(FileStorageManager::kStorageError, "a directory has that name");
  }
  ZP_LOG(Warn) << "cannot write " << target.path << ": " << usable.message();
  return copyFailure(usable.code(), "cannot write " + target.path + ": " + usable.message());
}

ZPResponse checkTargetRoom(const DeliveryTarget& target, const std::string& storageRoot,
                           int64_t length) {
  const ZPResponse fits(ZPResponse::RESULT_SUCCESS, 0, "");
  if (target.memory || target.stream || target.path.empty() || length <= 0) return fits;
  const std::string dir = fs::parentDirOf(target.path);
  fs::VolumeRoom targetRoom;
  fs::VolumeRoom storageRoom;
  // A volume that cannot be measured is left to the delivery, which reports what it meets. The
  // storage root is measured only when the target lacks the room: a target with room fits
  // wherever the storage is.
  if (!fs::volumeRoomOf(dir, &targetRoom).isOk() || targetRoom.freeBytes >= length ||
      !fs::volumeRoomOf(storageRoot, &storageRoom).isOk() ||
      targetRoom.volumeId == storageRoom.volumeId) {
    return fits;
  }
  const std::string message = "no room on the target disk for " + std::to_string(length) +
                              " bytes (" + std::to_string(targetRoom.freeBytes) +
                              " bytes free): " + dir;
  ZP_LOG(Warn) << message;
  ZPResponse full = copyFailure(fs::diskFullCode(), message);
  full.cause = ZPResponse::CAUSE_DISK_FULL;
  return full;
}

ZPResponse deliverCopy(const ZPResponse& source, bool sourceInMemory, const DeliveryTarget& target,
                       int64_t memoryLimitBytes) {
  ZPResponse result = copyResult(source, sourceInMemory, target, memoryLimitBytes);
  giveFileReader(result);
  return result;
}

void giveFileReader(ZPResponse& response) {
  ResponseContent::setFileReader(response, &readFileBlocks);
}

}  // namespace zephyl
