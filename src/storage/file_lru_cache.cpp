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

int64_t FileLruCache::EntryFiles::sizeOf(const FilePaths& paths) { return storedSize(paths); }

int64_t FileLruCache::EntryFiles::modifiedTimeMsOf(const FilePaths& paths) {
  return fs::fileModifiedTimeMs(paths.dataPath);
}

void FileLruCache::EntryFiles::remove(const FilePaths& paths) { removeStoredFiles(paths); }

FileLruCache::FileLruCache() : files_(&defaultFiles_) {}
FileLruCache::FileLruCache(EntryFiles* files) : files_(files) {}
FileLruCache::~FileLruCache() { upkeep_.stop(); }

void FileLruCache::setEvictionGuard(EvictionGuard* guard) {
  MutexLock lock(mutex_);
  guard_ = guard;
}

void FileLruCache::configure(const std::string& directory, int64_t maxSize, int32_t maxCount,
                             int64_t cacheExpiredTime) {
  {
    MutexLock lock(mutex_);
    cacheDir_ = directory;
    maxSize_ = maxSize;
    maxCount_ = maxCount;
    cacheExpiredTime_ = cacheExpiredTime;
  }
  bool scanned = false;
  {
    MutexLock scanLock(scanMutex_);
    // A scan that ran before (here or on the upkeep thread) is not repeated, nor its trim.
    {
      MutexLock lock(mutex_);
      if (initialized_) return;
    }
    scanned = scanOnce(nullptr);
  }
  if (scanned) trim(nullptr);
}

void FileLruCache::configureInBackground(const std::string& directory, int64_t maxSize,
                                         int32_t maxCount, int64_t cacheExpiredTime) {
  {
    MutexLock lock(mutex_);
    cacheDir_ = directory;
    maxSize_ = maxSize;
    maxCount_ = maxCount;
    cacheExpiredTime_ = cacheExpiredTime;
  }
  upkeep_.request();
}

void FileLruCache::setLimits(int64_t maxSize, int32_t maxCount, int64_t cacheExpiredTime) {
  MutexLock lock(mutex_);
  maxSize_ = maxSize;
  maxCount_ = maxCount;
  cacheExpiredTime_ = cacheExpiredTime;
}

bool FileLruCache::get(const std::string& key, FilePaths* out) {
  MutexLock lock(mutex_);
  const auto found = index_.find(key);
  if (found == index_.end()) return false;
  if (out != nullptr) *out = *found->second->paths;
  return true;
}

void FileLruCache::put(const FilePaths& paths) {
  {
    MutexLock scanLock(scanMutex_);
    scanOnce(nullptr);
  }
  add(paths);
  trim(nullptr);
}

void FileLruCache::add(const FilePaths& paths) {
  MutexLock lock(mutex_);
  addLocked(paths);
}

void FileLruCache::requestTrim() { upkeep_.request(); }

void FileLruCache::erase(const std::string& key) {
  MutexLock lock(mutex_);
  noteChangedLocked(key);
  const auto found = index_.find(key);
  if (found == index_.end()) return;
  entries_.erase(found->second);
  index_.erase(found);
}

void FileLruCache::clear() {
  MutexLock lock(mutex_);
  if (!initialized_) clearedBeforeScan_ = true;
  entries_.clear();
  index_.clear();
}

void FileLruCache::removeAll() {
  {
    MutexLock scanLock(scanMutex_);
    scanOnce(nullptr);
  }
  for (const Seen& seen : snapshot()) evict(seen, Rule::Removal, 0, nullptr);
}

void FileLruCache::waitForUpkeep() { upkeep_.waitIdle(); }

void FileLruCache::stopUpkeep() { upkeep_.stop(); }

void FileLruCache::upkeep(const std::atomic<bool>& stop) {
  {
    MutexLock scanLock(scanMutex_);
    if (!scanOnce(&stop)) return;
  }
  trim(&stop);
}

bool FileLruCache::scanOnce(const std::atomic<bool>* stop) {
  std::string directory;
  {
    MutexLock lock(mutex_);
    // Before configure there is no directory to scan; the scan then waits for configure instead
    // of failing for good on an empty path.
    if (initialized_ || cacheDir_.empty()) return true;
    directory = cacheDir_;
  }

  std::vector<std::string> files;
  if (!fs::listFiles(directory, &files).isOk()) {
    ZP_LOG(Warn) << "FileLruCache initFailed";
    mergeScan({});  // a failed scan is not retried
    return true;
  }
  if (files.empty()) {
    mergeScan({});
    return true;
  }
  ZP_LOG(Warn) << "FileLruCache init fileCount = " << files.size();

  // The listing answers whether a data file exists; only a side file whose data is missing is
  // asked again, at its deletion, since a writer may have created the data meanwhile.
  const std::unordered_set<std::string> listed(files.begin(), files.end());
  std::vector<std::pair<int64_t, FilePaths>> byTime;
  for (const std::string& path : files) {
    if (stop != nullptr && stop->load()) return false;
    std::string dataPath;
    std::string sidePath;
    // A side file's replacement cut short: never read, so it goes (unless its writer is just
    // replacing it).
    if (stripSuffix(path, kTemporarySuffix, &sidePath)) {
      if (stripSuffix(sidePath, kInfoSuffix, &dataPath) ||
          stripSuffix(sidePath, kValidatorSuffix, &dataPath)) {
        removeOrphan(fs::fileNameOf(dataPath), path, "");
      }
      continue;
    }
    // A validator belongs to its data file and never names a download by itself; without the
    // data it validates nothing.
    if (stripSuffix(path, kValidatorSuffix, &dataPath)) {
      if (listed.count(dataPath) == 0) removeOrphan(fs::fileNameOf(dataPath), path, dataPath);
      continue;
    }
    // Only progress files name downloads; a data file without one is neither indexed nor deleted.
    if (!stripSuffix(path, kInfoSuffix, &dataPath)) continue;
    FilePaths paths;
    paths.fileKey = fs::fileNameOf(dataPath);
    if (!isDownloadKey(paths.fileKey)) continue;
    // Without the data the download cannot be resumed.
    if (listed.count(dataPath) == 0) {
      removeOrphan(paths.fileKey, path, dataPath);
      continue;
    }
    paths.dataPath = dataPath;
    paths.infoPath = path;
    paths.validatorPath = dataPath + kValidatorSuffix;
    // Ordered by the progress file's time: it is written whenever the download stored bytes.
    const int64_t modifiedMs = fs::fileModifiedTimeMs(path);
    byTime.emplace_back(modifiedMs, std::move(paths));
  }
  // Each time is read once, so the order cannot shift under the sort; the path breaks ties.
  std::sort(byTime.begin(), byTime.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.infoPath < b.second.infoPath;
  });
  std::vector<FilePaths> found;
  found.reserve(byTime.size());
  for (auto& timed : byTime) found.push_back(std::move(timed.second));
  mergeScan(found);
  return true;
}

void FileLruCache::mergeScan(const std::vector<FilePaths>& found) {
  MutexLock lock(mutex_);
  initialized_ = true;
  const bool cleared = clearedBeforeScan_;
  clearedBeforeScan_ = false;
  std::unordered_set<std::string> changed;
  changed.swap(changedBeforeScan_);
  if (cleared) return;  // the directory vanished after the listing: what it named is gone
  // Newest first, each in front of the others: the oldest ends up at the front, and every entry
  // added meanwhile stays behind them all.
  for (auto position = found.rbegin(); position != found.rend(); ++position) {
    if (index_.count(position->fileKey) != 0 || changed.count(position->fileKey) != 0) continue;
    entries_.push_front(Entry{std::make_shared<const FilePaths>(*position), nextGeneration_++});
    index_.emplace(position->fileKey, entries_.begin());
  }
}

void FileLruCache::removeOrphan(const std::string& key, const std::string& path,
                                const std::string& dataPath) {
  if (!isDownloadKey(key) || !holdForRemoval(key)) return;
  if (dataPath.empty() || !fs::exists(dataPath)) fs::removeFile(path);
  releaseAfterRemoval(key);
}

void FileLruCache::addLocked(const FilePaths& paths) {
  noteChangedLocked(paths.fileKey);
  auto shared = std::make_shared<const FilePaths>(paths);
  const auto found = index_.find(paths.fileKey);
  if (found == index_.end()) {
    entries_.push_back(Entry{std::move(shared), nextGeneration_++});
    index_.emplace(paths.fileKey, std::prev(entries_.end()));
    return;
  }
  *found->second = Entry{std::move(shared), nextGeneration_++};
  entries_.splice(entries_.end(), entries_, found->second);  // iterators stay valid
}

void FileLruCache::noteChangedLocked(const std::string& key) {
  if (!initialized_ && !cacheDir_.empty()) changedBeforeScan_.insert(key);
}

bool FileLruCache::holdForRemoval(const std::string& key) {
  EvictionGuard* guard = nullptr;
  {
    MutexLock lock(mutex_);
    guard = guard_;
  }
  if (guard == nullptr || guard->tryHold(key)) return true;
  ZP_LOG(Debug) << "trimLruCache skip held " << key;
  return false;
}

void FileLruCache::releaseAfterRemoval(const std::string& key) {
  EvictionGuard* guard = nullptr;
  {
    MutexLock lock(mutex_);
    guard = guard_;
  }
  if (guard != nullptr) guard->release(key);
}

std::vector<FileLruCache::Seen> FileLruCache::snapshot() {
  MutexLock lock(mutex_);
  std::vector<Seen> seen;
  seen.reserve(entries_.size());
  for (const Entry& entry : entries_) seen.push_back(Seen{entry.paths, entry.generation});
  return seen;
}

bool FileLruCache::evict(const Seen& seen, Rule rule, int64_t entryTime, int64_t* total) {
  const std::string& key = seen.paths->fileKey;
  // The key first: a download that opens it meanwhile waits until the files are gone and starts
  // anew, and one that holds it already keeps its files.
  if (!holdForRemoval(key)) return false;
  size_t countBefore = 0;
  int32_t maxCount = 0;
  int64_t maxSize = 0;
  bool current = false;
  {
    MutexLock lock(mutex_);
    const auto found = index_.find(key);
    current = found != index_.end() && found->second->generation == seen.generation &&
              (rule != Rule::Count ||
               (maxCount_ >= 1 && entries_.size() > static_cast<size_t>(maxCount_)));
    if (current) {
      countBefore = entries_.size();
      maxCount = maxCount_;
      maxSize = maxSize_;
      entries_.erase(found->second);
      index_.erase(found);
    }
  }
  if (current) {
    switch (rule) {
      case Rule::Age:
        ZP_LOG(Debug) << "trimLruCache remove expiredItem " << key << " " << entryTime;
        files_->remove(*seen.paths);
        break;
      case Rule::Count:
        ZP_LOG(Debug) << "trimLruCache remove exceedCount " << key
                      << " currentCount = " << countBefore << " maxCount = " << maxCount;
        files_->remove(*seen.paths);
        break;
      case Rule::Size:
        *total -= files_->sizeOf(*seen.paths);
        files_->remove(*seen.paths);
        ZP_LOG(Debug) << "trimLruCache remove exceedSize " << key << " totalSize = " << *total
                      << " maxSize = " << maxSize;
        break;
      case Rule::Removal:
        files_->remove(*seen.paths);
        break;
    }
  }
  releaseAfterRemoval(key);
  return current;
}

void FileLruCache::trim(const std::atomic<bool>* stop) {
  const int64_t now = nowMs();
  Limits limits{};
  {
    MutexLock lock(mutex_);
    limits = Limits{maxSize_, maxCount_, cacheExpiredTime_};
  }
  ZP_LOG(Debug) << "trimLruCache check: maxCount= " << limits.maxCount
                << ", cacheExpiredTime = " << limits.cacheExpiredTime
                << ", maxSize = " << limits.maxSize << ", currentTime = " << now;

  // Every rule skips the entries whose key a writer holds: they keep their files and their
  // place, and still count towards the limits. Entries put while a rule runs are left to the
  // trim that their put asks for.
  if (limits.cacheExpiredTime > 0) trimByAge(limits, now, stop);
  if (limits.maxCount >= 1) trimByCount(stop);
  if (limits.maxSize > 0) trimBySize(limits, stop);
}

void FileLruCache::trimByAge(const Limits& limits, int64_t now, const std::atomic<bool>* stop) {
  // The whole list is visited, since a refreshed entry may sit behind an older file.
  for (const Seen& seen : snapshot()) {
    if (stop != nullptr && stop->load()) return;
    const int64_t entryTime = files_->modifiedTimeMsOf(*seen.paths);
    // entryTime + cacheExpiredTime < now, written so that a huge lifetime cannot overflow.
    if (now - entryTime <= limits.cacheExpiredTime) continue;
    evict(seen, Rule::Age, entryTime, nullptr);
  }
}

void FileLruCache::trimByCount(const std::atomic<bool>* stop) {
  // Least recently put first, a batch of the excess at a time; no file is measured.
  std::unordered_set<std::string> passedOver;  // held, or put again since seen
  for (;;) {
    std::vector<Seen> batch;
    {
      MutexLock lock(mutex_);
      if (maxCount_ < 1 || entries_.size() <= static_cast<size_t>(maxCount_)) return;
      const size_t excess = entries_.size() - static_cast<size_t>(maxCount_);
      for (auto position = entries_.begin(); position != entries_.end() && batch.size() < excess;
           ++position) {
        if (passedOver.count(position->paths->fileKey) == 0) {
          batch.push_back(Seen{position->paths, position->generation});
        }
      }
    }
    if (batch.empty()) return;
    for (const Seen& seen : batch) {
      if (stop != nullptr && stop->load()) return;
      if (!evict(seen, Rule::Count, 0, nullptr)) passedOver.insert(seen.paths->fileKey);
    }
  }
}

void FileLruCache::trimBySize(const Limits& limits, const std::atomic<bool>* stop) {
  // Measured on disk now: another process may have resumed an entry and stored more meanwhile.
  const std::vector<Seen> seen = snapshot();
  if (seen.empty()) return;
  int64_t total = 0;
  for (const Seen& entry : seen) {
    if (stop != nullptr && stop->load()) return;
    total += files_->sizeOf(*entry.paths);
  }
  for (const Seen& entry : seen) {
    if (total <= limits.maxSize || (stop != nullptr && stop->load())) return;
    evict(entry, Rule::Size, 0, &total);
  }
}

}  // namespace zephyl
