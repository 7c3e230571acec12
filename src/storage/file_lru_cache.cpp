#include "storage/file_lru_cache.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "storage/fs.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

constexpr char kInfoSuffix[] = ".info";
constexpr size_t kInfoSuffixLength = sizeof(kInfoSuffix) - 1;

bool endsWithInfoSuffix(const std::string& path) {
  return path.size() > kInfoSuffixLength &&
         path.compare(path.size() - kInfoSuffixLength, kInfoSuffixLength, kInfoSuffix) == 0;
}

void removeFiles(const FilePaths& paths) {
  // Failures are logged by the file-system layer; a file that is already gone is no problem.
  fs::removeFile(paths.dataPath);
  if (!paths.infoPath.empty()) fs::removeFile(paths.infoPath);
}

// Bytes on disk of one entry, measured now; a file that cannot be measured counts 0.
int64_t entrySize(const FilePaths& paths) {
  int64_t size = fs::statFileLength(paths.dataPath);
  if (!paths.infoPath.empty()) size += fs::statFileLength(paths.infoPath);
  return size;
}

}  // namespace

FileLruCache::FileLruCache() = default;
FileLruCache::~FileLruCache() = default;

void FileLruCache::setEvictionGuard(EvictionGuard* guard) {
  std::lock_guard<std::mutex> lock(mutex_);
  guard_ = guard;
}

void FileLruCache::configure(const std::string& directory, int64_t maxSize, int32_t maxCount,
                             int64_t cacheExpiredTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  cacheDir_ = directory;
  maxSize_ = maxSize;
  maxCount_ = maxCount;
  cacheExpiredTime_ = cacheExpiredTime;
  initLocked();
}

void FileLruCache::setLimits(int64_t maxSize, int32_t maxCount, int64_t cacheExpiredTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  maxSize_ = maxSize;
  maxCount_ = maxCount;
  cacheExpiredTime_ = cacheExpiredTime;
}

bool FileLruCache::get(const std::string& key, FilePaths* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  initLocked();
  const auto found = index_.find(key);
  if (found == index_.end()) return false;
  if (out != nullptr) *out = found->second->paths;
  return true;
}

void FileLruCache::put(const FilePaths& paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  initLocked();
  putLocked(paths);
  trimLruCache();
}

void FileLruCache::erase(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = index_.find(key);
  if (found == index_.end()) return;
  entries_.erase(found->second);
  index_.erase(found);
}

void FileLruCache::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  index_.clear();
}

void FileLruCache::removeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto position = entries_.begin(); position != entries_.end();) {
    if (!holdForRemoval(position->key)) {
      ++position;
      continue;
    }
    removeFiles(position->paths);
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
  if (!fs::listFiles(cacheDir_, &files)) {
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
    const std::string& infoPath = timedPath.second;
    // Only progress files name downloads; a data file without one is neither indexed nor deleted.
    if (!endsWithInfoSuffix(infoPath)) continue;
    FilePaths paths;
    paths.dataPath = infoPath.substr(0, infoPath.size() - kInfoSuffixLength);
    paths.fileKey = fs::fileNameOf(paths.dataPath);
    paths.infoPath = infoPath;
    // A bare ".info" has no key and belongs to no download.
    if (paths.fileKey.empty()) continue;
    if (!fs::exists(paths.dataPath)) {
      // Its download cannot be resumed without the data, unless a writer is just creating it.
      if (holdForRemoval(paths.fileKey)) {
        fs::removeFile(infoPath);
        releaseAfterRemoval(paths.fileKey);
      }
      continue;
    }
    putLocked(paths);
  }
  trimLruCache();
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
      removeFiles(position->paths);
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
      removeFiles(position->paths);
      releaseAfterRemoval(position->key);
      position = forget(position);
    }
  }

  // Size: measured on disk now, since writers change the files while entries wait here.
  if (maxSize_ > 0 && !entries_.empty()) {
    int64_t total = 0;
    for (const Entry& entry : entries_) total += entrySize(entry.paths);
    for (auto position = entries_.begin(); position != entries_.end() && total > maxSize_;) {
      if (!holdForRemoval(position->key)) {
        ++position;
        continue;
      }
      total -= entrySize(position->paths);
      removeFiles(position->paths);
      releaseAfterRemoval(position->key);
      ZP_LOG(Debug) << "trimLruCache remove exceedSize " << position->key
                    << " totalSize = " << total << " maxSize = " << maxSize_;
      position = forget(position);
    }
  }
}

}  // namespace zephyl
