#include "storage/file_storage_manager.h"

#include <chrono>
#include <vector>

#include "diagnostics/log.h"
#include "storage/atomic_file.h"
#include "storage/chunk_info.h"
#include "storage/fs.h"
#include "storage/path_text.h"
#include "storage/progress_file.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

constexpr char kLockFileName[] = "/downloads.lock";

// The process-wide managers, one per normalised root. Deliberately never destroyed:
// managers live until the process ends, and a thread still running at exit must not meet a
// destroyed map.
struct ManagerRegistry {
  Mutex mutex;  // first in the storage lock order, before any manager's mutex_
  // Guarded by mutex.
  std::unordered_map<std::string, std::shared_ptr<FileStorageManager>> managers GUARDED_BY(mutex);
};

ManagerRegistry& managerRegistry() {
  static ManagerRegistry* const registry = new ManagerRegistry();
  return *registry;
}

FileKind kindOf(const FilePaths& paths) {
  return paths.infoPath.empty() ? FileKind::SingleFile : FileKind::Chunked;
}

bool isCancelled(const std::atomic<bool>* cancelled) {
  return cancelled != nullptr && cancelled->load();
}

bool sameLimits(const ZPCachePolicy& a, const ZPCachePolicy& b) {
  return a.maxSize == b.maxSize && a.maxCount == b.maxCount &&
         a.cacheExpiredTime == b.cacheExpiredTime;
}

std::string limitsText(const ZPCachePolicy& policy) {
  return "maxSize " + std::to_string(policy.maxSize) + ", maxCount " +
         std::to_string(policy.maxCount) + ", cacheExpiredTime " +
         std::to_string(policy.cacheExpiredTime);
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
  const std::string root = normalisePath(rootDir);
  ManagerRegistry& registry = managerRegistry();
  MutexLock registryLock(registry.mutex);
  auto found = registry.managers.find(root);
  if (found == registry.managers.end()) {
    std::shared_ptr<FileStorageManager> manager(new FileStorageManager(root, policy));
    registry.managers.emplace(root, manager);
    return manager;
  }
  FileStorageManager& manager = *found->second;
  {
    MutexLock lock(manager.mutex_);
    manager.cachePolicy_ = policy;
    manager.lruCache_.setLimits(policy.maxSize, policy.maxCount, policy.cacheExpiredTime);
  }
  return found->second;
}

Status FileStorageManager::hold(const std::string& rootDir, const ZPCachePolicy& policy,
                                std::shared_ptr<FileStorageManager>* out) {
  const std::string root = normalisePath(rootDir);
  ManagerRegistry& registry = managerRegistry();
  MutexLock registryLock(registry.mutex);
  std::shared_ptr<FileStorageManager>& entry = registry.managers[root];
  if (!entry) entry.reset(new FileStorageManager(root, policy));
  *out = entry;
  MutexLock lock(entry->mutex_);
  if (entry->holds_ > 0 && !sameLimits(entry->cachePolicy_, policy)) {
    return Status::error(kStorageError,
                         "storage root " + root +
                             " is used by another manager with other cache limits (" +
                             limitsText(entry->cachePolicy_) + "; asked " + limitsText(policy) +
                             ")");
  }
  entry->cachePolicy_ = policy;
  entry->lruCache_.setLimits(policy.maxSize, policy.maxCount, policy.cacheExpiredTime);
  ++entry->holds_;
  return Status::ok();
}

void FileStorageManager::releaseHold() {
  {
    MutexLock lock(mutex_);
    if (holds_ > 0) --holds_;
    if (holds_ > 0) return;
  }
  // The last user is gone (a host ending, say): the cache's upkeep must not keep it waiting. What
  // is left undone is done after the next interrupted download.
  lruCache_.stopUpkeep();
}

FileStorageManager::FileStorageManager(const std::string& rootDir, const ZPCachePolicy& policy)
    : hasRoot_(!rootDir.empty()),
      tempDir_(rootDir + "/temp"),
      lruCacheDir_(rootDir + "/lruCache"),
      lockFilePath_(rootDir + kLockFileName),
      keyLocks_(lockFilePath_),
      cachePolicy_(policy) {
  lruCache_.setEvictionGuard(&cacheGuard_);
}

FileStorageManager::~FileStorageManager() = default;

Status FileStorageManager::openFile(FileKind kind, const std::string& fileKey,
                                    const std::atomic<bool>* cancelled, FilePaths* paths) {
  MutexLock lock(mutex_);
  for (;;) {
    // Again at every try: the directories may vanish while a writer waits.
    Status prepared = prepareDirectories(kind);
    if (!prepared.isOk()) return prepared;
    if (tryLockIdleKey(kind, fileKey)) break;
    if (isCancelled(cancelled)) {
      return Status::error(0, "cancelled while another writer held the download");
    }
    // A close in this process wakes the waiter at once; another process's is seen at a try.
    keyReleased_.waitFor(mutex_, std::chrono::milliseconds(kLockPollIntervalMs));
  }

  // Always the files on disk, whatever the index remembers: another process may have stored more
  // of the download, or delivered it, since this index was built. A chunked entry leaves the
  // cache while the key is open; closeFile puts it back.
  *paths = storedPathsOf(kind, kind == FileKind::Chunked ? lruCacheDir_ : tempDir_, fileKey);
  if (kind == FileKind::Chunked) lruCache_.erase(fileKey);
  openKeysOf(kind)[fileKey] = OpenKey{};
  // The key is held: no other writer touches these files, so the lock can go first.
  lock.unlock();
  removeForeignEntries(*paths);
  return Status::ok();
}

FilePaths FileStorageManager::openFile(FileKind kind, const std::string& fileKey) {
  FilePaths paths;
  // Without a cancellation flag it fails only for unusable storage directories: empty paths.
  (void)openFile(kind, fileKey, nullptr, &paths);
  return paths;
}

void FileStorageManager::closeFile(FileKind kind, const FilePaths& paths) {
  MutexLock lock(mutex_);
  auto& openKeys = openKeysOf(kind);
  const auto found = openKeys.find(paths.fileKey);
  if (found == openKeys.end()) return;
  const bool removeOnClose = found->second.removeOnClose;
  // Removed downloads do not enter the cache: an entry without files would only take the place
  // of one that can still be resumed. The files go while the key is still held.
  if (removeOnClose) removeStoredFiles(paths);
  releaseOpenKey(kind, paths.fileKey, nullptr);
  if (removeOnClose || kind != FileKind::Chunked) return;
  // In the same hold as the release, so that no open of the key comes between; O(1). The trim
  // runs on the cache's upkeep thread: no download waits for it, and it finds the key released.
  lruCache_.add(paths);
  lock.unlock();
  lruCache_.requestTrim();
}

std::string FileStorageManager::moveToSaveDir(const FilePaths& paths, const ZPRequest& request,
                                              const std::string& saveDir, Status* status) {
  std::string target;
  if (!request.savePath.empty()) {
    const std::string targetDir = fs::parentDirOf(request.savePath);
    Status created = fs::createDirectories(targetDir);
    if (!created.isOk()) {
      storeStatus(status, std::move(created));
      ZP_LOG(Warn) << "moveToSaveDir failed, targetDir create failed. %s" << targetDir;
      return {};
    }
    target = request.savePath;
  } else {
    // An empty save directory would put the file at the root of the file system.
    if (saveDir.empty()) {
      storeStatus(status, Status::error(kStorageError, "empty save directory"));
      ZP_LOG(Warn) << "moveToSaveDir failed, saveDirPath create failed. " << saveDir;
      return {};
    }
    Status created = fs::createDirectories(saveDir);
    if (!created.isOk()) {
      storeStatus(status, std::move(created));
      ZP_LOG(Warn) << "moveToSaveDir failed, saveDirPath create failed. " << saveDir;
      return {};
    }
    target = saveDir + "/" + paths.fileKey;
  }

  if (request.renameIfExists == 0) {
    // Replaced in one step by the complete new file: a file the user had there stays untouched
    // until then, also when the move has to copy across file systems and fails on the way.
    Status moved = fs::moveFile(paths.dataPath, target, true);
    if (!moved.isOk()) {
      storeStatus(status, std::move(moved));
      return {};
    }
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
    Status moved = fs::moveFile(paths.dataPath, candidate, false);
    if (moved.isOk()) {
      finishDelivery(paths);
      return candidate;
    }
    storeStatus(status, std::move(moved));
    // The move never replaces: when another writer took the name between the check and the
    // move, the next name is tried; any other failure ends the delivery.
    if (!fs::exists(candidate)) return {};
  }
  storeStatus(status, Status::error(kStorageError, "no free file name"));
  ZP_LOG(Warn) << "moveToSaveDir failed, no free file name for " << target;
  return {};
}

bool FileStorageManager::fetchProgress(const std::string& fileKey, int64_t* downloaded,
                                       int64_t* total) {
  if (!hasRoot_) return false;
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
  MutexLock lock(mutex_);
  auto found = openFiles_.find(fileKey);
  if (found != openFiles_.end()) {
    found->second.removeOnClose = true;
    return;
  }
  if (!isSafeDirectory(tempDir_)) return;
  const FilePaths paths = storedPathsOf(FileKind::SingleFile, tempDir_, fileKey);
  // Nothing to delete: no lock file is made for it.
  if (!fs::exists(paths.dataPath) && !fs::exists(paths.validatorPath)) return;
  if (!tryLockIdleKey(FileKind::SingleFile, fileKey)) return;  // another process writes it
  removeStoredFiles(paths);
  keyLocks_.unlock(FileKind::SingleFile, fileKey);
}

void FileStorageManager::removeCacheFile(const std::string& fileKey) {
  MutexLock lock(mutex_);
  auto found = openChunkFiles_.find(fileKey);
  if (found != openChunkFiles_.end()) {
    found->second.removeOnClose = true;
    return;
  }
  if (!isSafeDirectory(lruCacheDir_)) return;
  const FilePaths paths = storedPathsOf(FileKind::Chunked, lruCacheDir_, fileKey);
  if (fs::exists(paths.dataPath) || fs::exists(paths.infoPath) || fs::exists(paths.validatorPath)) {
    if (!tryLockIdleKey(FileKind::Chunked, fileKey)) return;  // another process writes it
    removeStoredFiles(paths);
    keyLocks_.unlock(FileKind::Chunked, fileKey);
  }
  lruCache_.erase(fileKey);
}

void FileStorageManager::removeAllCache() {
  removeAllTempFiles();
  // Without the manager's lock: the cache takes each key through cacheGuard_, which takes it, and
  // no download waits while the files of every entry are deleted.
  lruCache_.removeAll();
}

void FileStorageManager::removeAllTempFiles() {
  MutexLock lock(mutex_);
  for (auto& [key, open] : openFiles_) open.removeOnClose = true;
  for (auto& [key, open] : openChunkFiles_) open.removeOnClose = true;
  // Through a link in place of a storage directory, the link's target would be emptied.
  if (!isSafeDirectory(tempDir_) || !isSafeDirectory(lruCacheDir_)) return;
  std::vector<std::string> tempFiles;
  if (fs::listFiles(tempDir_, &tempFiles).isOk()) {
    for (const std::string& path : tempFiles) removeIdleTempEntry(path);
  }
  // Before the first openFile the cache has not read its directory yet; it is configured here
  // so that removeAll reads it and interrupted downloads of an earlier run are removed too. Keys
  // open here are not in the cache; those held elsewhere are skipped by the guard.
  if (!cacheConfigured_ && fs::exists(lruCacheDir_)) configureCacheOnce();
}

Status FileStorageManager::prepareDirectories(FileKind kind) {
  if (!hasRoot_) {
    ZP_LOG(Warn) << "no storage root: the settings' rootDir is empty";
    return Status::error(kStorageError, "empty storage root");
  }
  // Once both directories were checked, an open reads only its own directory's identity (one
  // lstat) and compares it with the one the check saw: a directory that vanished (the root
  // removed behind the library's back), was swapped for a link or another directory, or had its
  // permissions changed, is checked again in full below.
  const bool chunked = kind == FileKind::Chunked;
  fs::EntryIdentity now;
  if (directoriesChecked_ && fs::entryIdentityOf(chunked ? lruCacheDir_ : tempDir_, &now) &&
      now == (chunked ? checkedLruCacheDir_ : checkedTempDir_)) {
    return Status::ok();
  }
  directoriesChecked_ = false;
  // A root with a name the system cannot hold ("C:/cache/nul") would lead elsewhere: a device.
  Status named = fs::checkPathNames(tempDir_);
  if (!named.isOk()) return named;
  // The directory was removed behind the library's back: its entries name nothing any more.
  if (!fs::exists(lruCacheDir_)) lruCache_.clear();
  bool ready = true;
  for (const std::string* directory : {&tempDir_, &lruCacheDir_}) {
    // A failure to create surfaces when the writer opens its file; an unsafe directory is never
    // used, as writes and removals below it would reach whatever it leads to.
    Status status;
    const fs::PrivateDirectory made = fs::createPrivateDirectories(*directory, &status);
    if (made == fs::PrivateDirectory::Unsafe) {
      ZP_LOG(Warn) << "storage directory not used, a link or another user's: " << *directory;
      return status;
    }
    ready = ready && made == fs::PrivateDirectory::Ready;
  }
  // A directory that could not be made is tried again in full at the next open.
  directoriesChecked_ = ready && fs::entryIdentityOf(tempDir_, &checkedTempDir_) &&
                        fs::entryIdentityOf(lruCacheDir_, &checkedLruCacheDir_);
  if (initialized_) return Status::ok();
  // Left over by an earlier process, unless another process is still writing it.
  std::vector<std::string> tempFiles;
  if (fs::listFiles(tempDir_, &tempFiles).isOk()) {
    for (const std::string& path : tempFiles) removeIdleTempEntry(path);
  }
  configureCacheOnce();
  initialized_ = true;
  return Status::ok();
}

bool FileStorageManager::isSafeDirectory(const std::string& directory) {
  if (!hasRoot_) return false;              // nothing of the library's is there to remove
  if (!fs::exists(directory)) return true;  // nothing below it to remove
  if (fs::createPrivateDirectories(directory) != fs::PrivateDirectory::Unsafe) return true;
  ZP_LOG(Warn) << "storage directory not used, a link or another user's: " << directory;
  return false;
}

void FileStorageManager::removeForeignEntries(const FilePaths& paths) {
  const std::string progressPath = paths.dataPath + kInfoSuffix;  // or a complete-file marker
  for (const std::string& path : {paths.dataPath, progressPath, progressPath + kTemporarySuffix,
                                  paths.validatorPath, paths.validatorPath + kTemporarySuffix}) {
    if (!fs::exists(path) || fs::isRegularFile(path)) continue;
    ZP_LOG(Warn) << "removing what is not a file of the library: " << path;
    // A link goes itself; a directory goes with everything in it, links inside unfollowed.
    if (!fs::removeDirectory(path, true).isOk()) fs::removeFile(path);
  }
}

bool FileStorageManager::tryLockIdleKey(FileKind kind, const std::string& fileKey) {
  return openKeysOf(kind).count(fileKey) == 0 && keyLocks_.tryLock(kind, fileKey);
}

void FileStorageManager::removeIdleTempEntry(const std::string& path) {
  // A side file ("<key>.validator", "<key>.validator.tmp") belongs to its download's key.
  std::string fileKey = fs::fileNameOf(path);
  for (const std::string& suffix : {std::string(kTemporarySuffix), std::string(kValidatorSuffix)}) {
    if (fileKey.size() > suffix.size() &&
        fileKey.compare(fileKey.size() - suffix.size(), suffix.size(), suffix) == 0) {
      fileKey.resize(fileKey.size() - suffix.size());
    }
  }
  if (!tryLockIdleKey(FileKind::SingleFile, fileKey)) return;
  // Single-file downloads are plain files; anything else here is not the library's and goes too.
  if (!fs::removeDirectory(path, true).isOk()) fs::removeFile(path);
  keyLocks_.unlock(FileKind::SingleFile, fileKey);
}

bool FileStorageManager::releaseOpenKey(FileKind kind, const std::string& fileKey,
                                        bool* removeOnClose) {
  OpenKeyMap& openKeys = openKeysOf(kind);
  const auto found = openKeys.find(fileKey);
  if (found == openKeys.end()) return false;
  if (removeOnClose != nullptr) *removeOnClose = found->second.removeOnClose;
  openKeys.erase(found);
  keyLocks_.unlock(kind, fileKey);
  keyReleased_.notifyAll();
  return true;
}

bool FileStorageManager::CacheGuard::tryHold(const std::string& key) {
  MutexLock lock(owner_.mutex_);
  return owner_.tryLockIdleKey(FileKind::Chunked, key);
}

void FileStorageManager::CacheGuard::release(const std::string& key) {
  MutexLock lock(owner_.mutex_);
  owner_.keyLocks_.unlock(FileKind::Chunked, key);
  // A download that wanted this key while its files were deleted opens it now, and starts anew.
  owner_.keyReleased_.notifyAll();
}

void FileStorageManager::waitForCacheUpkeep() { lruCache_.waitForUpkeep(); }

void FileStorageManager::configureCacheOnce() {
  if (cacheConfigured_) return;
  // The scan runs on the cache's upkeep thread, off the first download's path: that download
  // opens its own entry by its paths and the lock of its key, not through the index.
  lruCache_.configureInBackground(lruCacheDir_, cachePolicy_.maxSize, cachePolicy_.maxCount,
                                  cachePolicy_.cacheExpiredTime);
  cacheConfigured_ = true;
}

FileStorageManager::OpenKeyMap& FileStorageManager::openKeysOf(FileKind kind) {
  return kind == FileKind::Chunked ? openChunkFiles_ : openFiles_;
}

void FileStorageManager::finishDelivery(const FilePaths& paths) {
  // Deleted only after the move, while the key is still held: a move that fails keeps the
  // download resumable, and no other writer can meet half a download.
  if (!paths.infoPath.empty() && fs::exists(paths.infoPath)) fs::removeFile(paths.infoPath);
  if (!paths.validatorPath.empty() && fs::exists(paths.validatorPath)) {
    fs::removeFile(paths.validatorPath);
  }
  // The room the writer kept for replacing them is not needed any more.
  if (!paths.infoPath.empty()) dropReservedReplacement(paths.infoPath);
  if (!paths.validatorPath.empty()) dropReservedReplacement(paths.validatorPath);
  MutexLock lock(mutex_);
  // The delivered file is the caller's now; a removal asked meanwhile has nothing left to do.
  releaseOpenKey(kindOf(paths), paths.fileKey, nullptr);
}

}  // namespace zephyl
