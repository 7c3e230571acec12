#include "storage/file_lru_cache.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "storage/atomic_file.h"
#include "storage/fs.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

// When path ends with suffix (and has more before it), the text before it goes to *stem.
bool stripSuffix(const std::string& path, const char* suffix, std::string* stem) {
  const std::string_view end(suffix);
  if (path.size() <= end.size() || path.compare(path.size() - end.size(), end.size(), end) != 0) {
    return false;
  }
  *stem = path.substr(0, path.size() - end.size());
  return true;
}

// A side file names a download only through a key that is a file name of a data file: a bare
// ".info" has none, with "." or ".." the data path would be the cache directory or its parent,
// and a key that is itself a side file name ("k.info" of "k.info.info") would make another
// download's progress file its data. The library's keys are hex digests, never any of these;
// such files are not the cache's to index or delete.
bool isDownloadKey(const std::string& key) {
  const auto endsWith = [&key](std::string_view end) {
    return key.size() >= end.size() && key.compare(key.size() - end.size(), end.size(), end) == 0;
  };
  return !key.empty() && key != "." && key != ".." && !endsWith(kInfoSuffix) &&
         !endsWith(kValidatorSuffix) && !endsWith(kTemporarySuffix);
}

}  // namespace

FileLruCache::FileLruCache() = default;
FileLruCache::~FileLruCache() = default;

void FileLruCache::setEvictionGuard(EvictionGuard* guard) {
  MutexLock lock(mutex_);
  guard_ = guard;
}

void FileLruCache::configure(const std::string& directory, int64_t maxSize, int32_t maxCount,
                             int64_t cacheExpiredTime) {
  MutexLock lock(mutex_);
  cacheDir_ = directory;
  maxSize_ = maxSize;
  maxCount_ = maxCount;
  cacheExpiredTime_ = cacheExpiredTime;
  initLocked();
}

void FileLruCache::setLimits(int64_t maxSize, int32_t maxCount, int64_t cacheExpiredTime) {
  MutexLock lock(mutex_);
  maxSize_ = maxSize;
  maxCount_ = maxCount;
  cacheExpiredTime_ = cacheExpiredTime;
}

bool FileLruCache::get(const std::string& key, FilePaths* out) {
  MutexLock lock(mutex_);
  initLocked();
  const auto found = index_.find(key);
  if (found == index_.end()) return false;
  if (out != nullptr) *out = found->second->paths;
  return true;
}

void FileLruCache::put(const FilePaths& paths) {
  MutexLock lock(mutex_);
  initLocked();
  putLocked(paths);
  trimLruCache();
}

void FileLruCache::erase(const std::string& key) {
  MutexLock lock(mutex_);
  const auto found = index_.find(key);
  if (found == index_.end()) return;
  entries_.erase(found->second);
  index_.erase(found);
}

void FileLruCache::clear() {
  MutexLock lock(mutex_);
  entries_.clear();
  index_.clear();
}

void FileLruCache::removeAll() {
  MutexLock lock(mutex_);
  for (auto position = entries_.begin(); position != entries_.end();) {
    if (!holdForRemoval(position->key)) {
      ++position;
      continue;
    }
    removeStoredFiles(position->paths);
    releaseAfterRemoval(position->key);
    position = forget(position);
  }
}

void FileLruCache::initLocked() {
  // Before configure there is no directory to scan; the scan then waits for configure instead of
  // failing for good on an empty path.
  if (initialized_ || cacheDir_.empty()) return;
  initialized_ = true;  // a failed scan is not retried

  std::vector<std::string> files;
  if (!fs::listFiles(cacheDir_, &files).isOk()) {
    ZP_LOG(Warn) << "FileLruCache initFailed";
    return;
  }
  if (files.empty()) return;
  ZP_LOG(Warn) << "FileLruCache init fileCount = " << files.size();

  // Each time is read once, so the order cannot shift under the sort; the path breaks ties.
  std::vector<std::pair<int64_t, std::string>> byTime;
  byTime.reserve(files.size());
  for (std::string& path : files) {
    const int64_t modifiedMs = fs::fileModifiedTimeMs(path);
    byTime.emplace_back(modifiedMs, std::move(path));
  }
  std::sort(byTime.begin(), byTime.end());

  for (const auto& timedPath : byTime) {
    const std::string& path = timedPath.second;
    std::string dataPath;
    std::string sidePath;
    // A side file's replacement cut short: never read, so it goes (unless its writer is just
    // replacing it).
    if (stripSuffix(path, kTemporarySuffix, &sidePath)) {
      if (stripSuffix(sidePath, kInfoSuffix, &dataPath) ||
          stripSuffix(sidePath, kValidatorSuffix, &dataPath)) {
        removeUnlessHeld(fs::fileNameOf(dataPath), path);
      }
      continue;
    }
    // A validator belongs to its data file and never names a download by itself; without the
    // data it validates nothing.
    if (stripSuffix(path, kValidatorSuffix, &dataPath)) {
      if (!fs::exists(dataPath)) removeUnlessHeld(fs::fileNameOf(dataPath), path);
      continue;
    }
    // Only progress files name downloads; a data file without one is neither indexed nor deleted.
    if (!stripSuffix(path, kInfoSuffix, &dataPath)) continue;
    FilePaths paths;
    paths.dataPath = dataPath;
    paths.fileKey = fs::fileNameOf(dataPath);
    paths.infoPath = path;
    paths.validatorPath = dataPath + kValidatorSuffix;
    if (!isDownloadKey(paths.fileKey)) continue;
    // Without the data the download cannot be resumed.
    if (!fs::exists(paths.dataPath)) {
      removeUnlessHeld(paths.fileKey, path);
      continue;
    }
    putLocked(paths);
  }
  trimLruCache();
}

void FileLruCache::removeUnlessHeld(const std::string& key, const std::string& path) {
  if (!isDownloadKey(key) || !holdForRemoval(key)) return;
  fs::removeFile(path);
  releaseAfterRemoval(key);
}

void FileLruCache::putLocked(const FilePaths& paths) {
  const auto found = index_.find(paths.fileKey);
  if (found == index_.end()) {
    entries_.push_back(Entry{paths.fileKey, paths});
    index_.emplace(paths.fileKey, std::prev(entries_.end()));
    return;
  }
  found->second->paths = paths;
  entries_.splice(entries_.end(), entries_, found->second);  // iterators stay valid
}

bool FileLruCache::holdForRemoval(const std::string& key) {
  if (guard_ == nullptr || guard_->tryHold(key)) return true;
  ZP_LOG(Debug) << "trimLruCache skip held " << key;
  return false;
}

void FileLruCache::releaseAfterRemoval(const std::string& key) {
  if (guard_ != nullptr) guard_->release(key);
}

FileLruCache::EntryList::iterator FileLruCache::forget(EntryList::iterator position) {
  index_.erase(position->key);
  return entries_.erase(position);
}

void FileLruCache::trimLruCache() {
  const int64_t now = nowMs();
  ZP_LOG(Debug) << "trimLruCache check: maxCount= " << maxCount_
                << ", cacheExpiredTime = " << cacheExpiredTime_ << ", maxSize = " << maxSize_
                << ", currentTime = " << now;

  // Every rule skips the entries whose key a writer holds (another process resumed them): they
  // keep their files and their place, and still count towards the limits.

  // Age: the whole list is visited, since a refreshed entry may sit behind an older file.
  if (cacheExpiredTime_ > 0) {
    for (auto position = entries_.begin(); position != entries_.end();) {
      const int64_t entryTime = fs::fileModifiedTimeMs(position->paths.dataPath);
      // entryTime + cacheExpiredTime < now, written so that a huge lifetime cannot overflow.
      if (now - entryTime <= cacheExpiredTime_ || !holdForRemoval(position->key)) {
        ++position;
        continue;
      }
      ZP_LOG(Debug) << "trimLruCache remove expiredItem " << position->key << " " << entryTime;
      removeStoredFiles(position->paths);
      releaseAfterRemoval(position->key);
      position = forget(position);
    }
  }

  // Count: least recently put first.
  if (maxCount_ >= 1) {
    const auto limit = static_cast<size_t>(maxCount_);
    for (auto position = entries_.begin(); position != entries_.end() && entries_.size() > limit;) {
      if (!holdForRemoval(position->key)) {
        ++position;
        continue;
      }
      ZP_LOG(Debug) << "trimLruCache remove exceedCount " << position->key
                    << " currentCount = " << entries_.size() << " maxCount = " << maxCount_;
      removeStoredFiles(position->paths);
      releaseAfterRemoval(position->key);
      position = forget(position);
    }
  }

  // Size: measured on disk now, since writers change the files while entries wait here.
  if (maxSize_ > 0 && !entries_.empty()) {
    int64_t total = 0;
    for (const Entry& entry : entries_) total += storedSize(entry.paths);
    for (auto position = entries_.begin(); position != entries_.end() && total > maxSize_;) {
      if (!holdForRemoval(position->key)) {
        ++position;
        continue;
      }
      total -= storedSize(position->paths);
      removeStoredFiles(position->paths);
      releaseAfterRemoval(position->key);
      ZP_LOG(Debug) << "trimLruCache remove exceedSize " << position->key
                    << " totalSize = " << total << " maxSize = " << maxSize_;
      position = forget(position);
    }
  }
}

}  // namespace zephyl
