#include "storage/file_storage_manager.h"

#include <vector>

#include "diagnostics/log.h"
#include "sinks/chunk_info.h"
#include "sinks/progress_file.h"
#include "storage/fs.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

constexpr char kInfoSuffix[] = ".info";

// The process-wide managers, one per root (compared exactly). Deliberately never destroyed:
// managers live until the process ends, and a thread still running at exit must not meet a
// destroyed map.
struct ManagerRegistry {
  std::mutex mutex;  // first in the storage lock order, before any manager's mutex_
  // Guarded by mutex.
  std::unordered_map<std::string, std::shared_ptr<FileStorageManager>> managers;
};

ManagerRegistry& managerRegistry() {
  static ManagerRegistry* const registry = new ManagerRegistry();
  return *registry;
}

void removeFiles(const FilePaths& paths) {
  // Failures are logged by the file-system layer and are not the caller's concern.
  fs::removeFile(paths.dataPath);
  if (!paths.infoPath.empty()) fs::removeFile(paths.infoPath);
}

void setError(int code, const std::string& message, int* errorCode, std::string* errorMsg) {
  if (errorCode != nullptr) *errorCode = code;
  if (errorMsg != nullptr) *errorMsg = message;
}

FileKind kindOf(const FilePaths& paths) {
  return paths.infoPath.empty() ? FileKind::SingleFile : FileKind::Chunked;
}

}  // namespace

std::string indexedName(const std::string& path, int n) {
  const size_t separator = path.find_last_of("/\\");
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = path.rfind('.');
  const std::string counter = "(" + std::to_string(n) + ")";
  // No "." in the file name itself (only in a directory, or only a leading one as in
  // ".profile"): the counter goes at the end.
  if (dot == std::string::npos || dot <= nameStart) return path + counter;
  return path.substr(0, dot) + counter + path.substr(dot);
}

std::shared_ptr<FileStorageManager> FileStorageManager::getInstance(const std::string& rootDir,
                                                                    const ZPCachePolicy& policy) {
  ManagerRegistry& registry = managerRegistry();
  std::lock_guard<std::mutex> registryLock(registry.mutex);
  auto found = registry.managers.find(rootDir);
  if (found == registry.managers.end()) {
    std::shared_ptr<FileStorageManager> manager(new FileStorageManager(rootDir, policy));
    registry.managers.emplace(rootDir, manager);
    return manager;
  }
  FileStorageManager& manager = *found->second;
  {
    std::lock_guard<std::mutex> lock(manager.mutex_);
    manager.cachePolicy_ = policy;
    manager.lruCache_.setLimits(policy.maxSize, policy.maxCount, policy.cacheExpiredTime);
  }
  return found->second;
}

FileStorageManager::FileStorageManager(const std::string& rootDir, const ZPCachePolicy& policy)
    : tempDir_(rootDir + "/temp"), lruCacheDir_(rootDir + "/lruCache"), cachePolicy_(policy) {}

FileStorageManager::~FileStorageManager() = default;

FilePaths FileStorageManager::openFile(FileKind kind, const std::string& fileKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  prepareDirectories();

  FilePaths paths;
  paths.fileKey = fileKey;
  if (kind == FileKind::Chunked) {
    if (lruCache_.get(fileKey, &paths)) {
      // The download takes the files over. They stay out of the cache while it runs, so that no
      // trim and no cache removal deletes data under a writer; closeFile puts them back.
      lruCache_.erase(fileKey);
    } else {
      paths.dataPath = lruCacheDir_ + "/" + fileKey;
      paths.infoPath = paths.dataPath + kInfoSuffix;
    }
  } else {
    paths.dataPath = tempDir_ + "/" + fileKey;
  }

  OpenKey& open = openKeysOf(kind)[fileKey];
  ++open.openCount;
  open.removeOnClose = false;  // a new download withdraws a removal asked for an earlier one
  return paths;
}

void FileStorageManager::closeFile(FileKind kind, const FilePaths& paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool removeOnClose = false;
  if (!releaseKey(kind, paths.fileKey, &removeOnClose)) return;
  if (removeOnClose) {
    // Removed downloads do not enter the cache: an entry without files would only take the place
    // of one that can still be resumed.
    removeFiles(paths);
    return;
  }
  if (kind == FileKind::Chunked) lruCache_.put(paths);
}

std::string FileStorageManager::moveToSaveDir(const FilePaths& paths, const ZPRequest& request,
                                              const std::string& saveDir, int* errorCode,
                                              std::string* errorMsg) {
  std::string target;
  if (!request.savePath.empty()) {
    const std::string targetDir = fs::parentDirOf(request.savePath);
    if (!fs::createDirectories(targetDir, errorCode, errorMsg)) {
      ZP_LOG(Warn) << "moveToSaveDir failed, targetDir create failed. %s" << targetDir;
      return {};
    }
    target = request.savePath;
  } else {
    // An empty save directory would put the file at the root of the file system.
    if (saveDir.empty()) {
      setError(kStorageError, "empty save directory", errorCode, errorMsg);
      ZP_LOG(Warn) << "moveToSaveDir failed, saveDirPath create failed. " << saveDir;
      return {};
    }
    if (!fs::createDirectories(saveDir, errorCode, errorMsg)) {
      ZP_LOG(Warn) << "moveToSaveDir failed, saveDirPath create failed. " << saveDir;
      return {};
    }
    target = saveDir + "/" + paths.fileKey;
  }

  if (request.renameIfExists == 0) {
    // Replaced in one step by the complete new file: a file the user had there stays untouched
    // until then, also when the move has to copy across file systems and fails on the way.
    if (!fs::moveFile(paths.dataPath, target, true, errorCode, errorMsg)) return {};
    finishDelivery(paths);
    return target;
  }

  for (int n = 0; n < kMaxRenameTries; ++n) {
    std::string candidate = target;
    if (n > 0) {
      ZP_LOG(Warn) << "rename try index: " << n;
      candidate = indexedName(target, n);
    }
    if (fs::exists(candidate)) continue;
    if (fs::moveFile(paths.dataPath, candidate, false, errorCode, errorMsg)) {
      finishDelivery(paths);
      return candidate;
    }
    // The move never replaces: when another writer took the name between the check and the
    // move, the next name is tried; any other failure ends the delivery.
    if (!fs::exists(candidate)) return {};
  }
  setError(kStorageError, "no free file name", errorCode, errorMsg);
  ZP_LOG(Warn) << "moveToSaveDir failed, no free file name for " << target;
  return {};
}

bool FileStorageManager::fetchProgress(const std::string& fileKey, int64_t* downloaded,
                                       int64_t* total) {
  const std::string infoPath = lruCacheDir_ + "/" + fileKey + kInfoSuffix;
  if (!fs::exists(infoPath)) return false;
  std::vector<ChunkInfo> chunks;
  int64_t contentLength = 0;
  if (!loadProgress(infoPath, chunks, contentLength)) return false;
  if (downloaded != nullptr) {
    int64_t sum = 0;
    for (const ChunkInfo& chunk : chunks) sum += chunk.current - chunk.start;
    *downloaded = sum;
  }
  if (total != nullptr) *total = contentLength;
  return true;
}

void FileStorageManager::removeTempFile(const std::string& fileKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = openFiles_.find(fileKey);
  if (found != openFiles_.end()) {
    found->second.removeOnClose = true;
    return;
  }
  fs::removeFile(tempDir_ + "/" + fileKey);
}

void FileStorageManager::removeCacheFile(const std::string& fileKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = openChunkFiles_.find(fileKey);
  if (found != openChunkFiles_.end()) {
    found->second.removeOnClose = true;
    return;
  }
  const std::string dataPath = lruCacheDir_ + "/" + fileKey;
  fs::removeFile(dataPath);
  fs::removeFile(dataPath + kInfoSuffix);
  lruCache_.erase(fileKey);
}

void FileStorageManager::removeAllCache() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [key, open] : openFiles_) open.removeOnClose = true;
  std::vector<std::string> tempFiles;
  if (fs::listFiles(tempDir_, &tempFiles)) {
    for (const std::string& path : tempFiles) {
      if (openFiles_.count(fs::fileNameOf(path)) == 0) fs::removeFile(path);
    }
  }
  for (auto& [key, open] : openChunkFiles_) open.removeOnClose = true;
  // Before the first openFile the cache has not read its directory yet; it is loaded here so
  // that interrupted downloads of an earlier run are removed too. No key can be open then.
  if (!cacheConfigured_ && fs::exists(lruCacheDir_)) configureCacheOnce();
  // Open keys are not in the cache, so this deletes no file a writer holds.
  lruCache_.removeAll();
}

void FileStorageManager::prepareDirectories() {
  // The directory was removed behind the library's back: its entries name nothing any more.
  if (!fs::exists(lruCacheDir_)) lruCache_.clear();
  // Failures surface when the writer opens its file.
  (void)fs::createDirectories(tempDir_);
  (void)fs::createDirectories(lruCacheDir_);
  if (initialized_) return;
  // Left over by an earlier process; no key of this manager can be open yet.
  fs::removeDirectory(tempDir_, false);
  configureCacheOnce();
  initialized_ = true;
}

void FileStorageManager::configureCacheOnce() {
  if (cacheConfigured_) return;
  lruCache_.configure(lruCacheDir_, cachePolicy_.maxSize, cachePolicy_.maxCount,
                      cachePolicy_.cacheExpiredTime);
  cacheConfigured_ = true;
}

FileStorageManager::OpenKeyMap& FileStorageManager::openKeysOf(FileKind kind) {
  return kind == FileKind::Chunked ? openChunkFiles_ : openFiles_;
}

bool FileStorageManager::releaseKey(FileKind kind, const std::string& fileKey,
                                    bool* removeOnClose) {
  OpenKeyMap& openKeys = openKeysOf(kind);
  auto found = openKeys.find(fileKey);
  if (found == openKeys.end()) return false;
  if (--found->second.openCount > 0) return false;
  *removeOnClose = found->second.removeOnClose;
  openKeys.erase(found);
  return true;
}

void FileStorageManager::finishDelivery(const FilePaths& paths) {
  // Deleted only after the move: a move that fails keeps the download resumable.
  if (!paths.infoPath.empty()) fs::removeFile(paths.infoPath);
  std::lock_guard<std::mutex> lock(mutex_);
  bool removeOnClose = false;
  // The delivered file is the caller's now; a removal asked meanwhile has nothing left to do.
  releaseKey(kindOf(paths), paths.fileKey, &removeOnClose);
}

}  // namespace zephyl
