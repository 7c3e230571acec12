// FileLruCache: the on-disk index of interrupted chunked downloads (a data file with its ".info"
// progress file and maybe a ".validator" file) that wait in one cache directory to be resumed.
// Entries are ordered by the time they were last put; lookups do not change the order. Trims bound
// the directory by age, entry count and total size and delete the files of what they evict,
// skipping downloads that a writer holds (asked of the eviction guard). The directory scan and
// the trims can run on an upkeep thread of the cache's own, so that no download waits for them:
// adding an entry costs O(1) and touches no file. Thread-safe. The cache never holds its own
// mutex while it calls the guard, measures or deletes files.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "storage/file_paths.h"
#include "storage/upkeep_thread.h"

namespace zephyl {

class FileLruCache {
 public:
  // Asked before the cache deletes the files of a key (trims, removeAll, the scan's orphans): a
  // key that some writer holds, in this process or another, must keep its files. Called without
  // any lock of the cache held, from the caller's thread or the upkeep thread; it may take its
  // owner's locks.
  class EvictionGuard {
   public:
    virtual ~EvictionGuard() = default;
    // True when no writer holds key; it then stays so until release(key).
    virtual bool tryHold(const std::string& key) = 0;
    virtual void release(const std::string& key) = 0;
  };

  // What the cache reads of and does to an entry's files; the default uses the real files.
  // Called without any lock of the cache held.
  class EntryFiles {
   public:
    virtual ~EntryFiles() = default;
    // Bytes of the entry's files now; a file that cannot be measured counts 0.
    virtual int64_t sizeOf(const FilePaths& paths);
    // The data file's modification time in milliseconds; 0 when it cannot be read.
    virtual int64_t modifiedTimeMsOf(const FilePaths& paths);
    // Deletes the entry's files (data first).
    virtual void remove(const FilePaths& paths);
  };

  FileLruCache();
  // files is used instead of the real files' operations; it must outlive the cache.
  explicit FileLruCache(EntryFiles* files);
  ~FileLruCache();  // stops the upkeep thread first
  FileLruCache(const FileLruCache&) = delete;
  FileLruCache& operator=(const FileLruCache&) = delete;

  // Every deletion asks guard first; without one (the default) everything may go. Set before
  // the first configure; the guard must outlive the cache.
  void setEvictionGuard(EvictionGuard* guard) EXCLUDES(mutex_);

  // Stores the directory and the limits, then scans the directory once per cache: every
  // "<key>.info" file whose data file "<key>" exists becomes an entry (oldest modification time
  // first); ".info" and ".validator" files without their data file and leftover "<side>.tmp"
  // files of interrupted replacements are deleted; other files are left alone. Then one trim
  // runs. A later configure stores the values but does not scan again. Blocks for the scan.
  void configure(const std::string& directory, int64_t maxSize, int32_t maxCount,
                 int64_t cacheExpiredTime) EXCLUDES(mutex_, scanMutex_);
  // As configure, but the scan and the trim run on the upkeep thread; returns at once. Entries
  // added, erased or cleared before the scan ends win over what the scan finds: the scan only
  // adds keys that nobody touched meanwhile, as older than every entry added meanwhile.
  void configureInBackground(const std::string& directory, int64_t maxSize, int32_t maxCount,
                             int64_t cacheExpiredTime) EXCLUDES(mutex_);

  // Replaces the limits; they apply from the next trim. maxSize <= 0, maxCount < 1 and
  // cacheExpiredTime <= 0 each switch their rule off.
  void setLimits(int64_t maxSize, int32_t maxCount, int64_t cacheExpiredTime) EXCLUDES(mutex_);

  // Copies the paths of key's entry into *out and returns true when there is one. Does not
  // change the eviction order. O(1), no file touched.
  bool get(const std::string& key, FilePaths* out) EXCLUDES(mutex_);

  // Makes paths the most recently put entry of paths.fileKey (new or refreshed), then trims on
  // the caller's thread.
  void put(const FilePaths& paths) EXCLUDES(mutex_, scanMutex_);
  // Makes paths the most recently put entry of paths.fileKey, without a trim: O(1), no file
  // touched. Call requestTrim afterwards, without locks of the caller's held.
  void add(const FilePaths& paths) EXCLUDES(mutex_);
  // Runs a trim on the upkeep thread (after the scan, when it has not run yet); returns at once.
  void requestTrim();

  // Forgets key's entry without touching its files: the caller takes the files over (a download
  // resumes them, or they were deleted). Nothing happens for an unknown key. O(1).
  void erase(const std::string& key) EXCLUDES(mutex_);

  // Forgets every entry without touching any file (the directory vanished). No new scan follows.
  void clear() EXCLUDES(mutex_);

  // Deletes the files of every entry, least recently put first, and forgets them; entries whose
  // key a writer holds keep their files and their place. Scans first when the scan has not run
  // (waiting for one on the upkeep thread). Blocks for the deletions.
  void removeAll() EXCLUDES(mutex_, scanMutex_);

  // Waits until the scan and trims asked for so far are done.
  void waitForUpkeep();
  // Ends the scan or trim running on the upkeep thread after its current entry and waits for
  // it; what it left undone is done at the next requestTrim.
  void stopUpkeep();

 private:
  // An entry's paths are shared with the trims that copied them, which measure and delete the
  // files outside the mutex.
  struct Entry {
    std::shared_ptr<const FilePaths> paths;
    uint64_t generation;  // changes at every put of the key: a trim's copy is then stale
  };
  using EntryList = std::list<Entry>;

  // What a trim saw of an entry.
  struct Seen {
    std::shared_ptr<const FilePaths> paths;
    uint64_t generation;
  };

  struct Limits {
    int64_t maxSize;
    int32_t maxCount;
    int64_t cacheExpiredTime;
  };

  // Scans the directory unless a scan completed already or no directory is configured. False
  // when *stop cut it short (nothing is indexed then and a later call scans again). Serialised
  // by scanMutex_. stop may be null.
  bool scanOnce(const std::atomic<bool>* stop) EXCLUDES(mutex_) REQUIRES(scanMutex_);
  // Adds what the scan found (oldest first) in front of the entries added meanwhile, but for
  // keys touched meanwhile, and marks the scan done.
  void mergeScan(const std::vector<FilePaths>& found) EXCLUDES(mutex_);
  // Deletes a side file whose data file is missing, unless a writer holds key or the data file
  // has appeared meanwhile (when dataPath is not empty).
  void removeOrphan(const std::string& key, const std::string& path, const std::string& dataPath)
      EXCLUDES(mutex_);

  // The upkeep thread's job: the scan, then a trim.
  void upkeep(const std::atomic<bool>& stop) EXCLUDES(mutex_, scanMutex_);
  // Applies the age, count and size rules in this order. stop may be null.
  void trim(const std::atomic<bool>* stop) EXCLUDES(mutex_);
  void trimByAge(const Limits& limits, int64_t now, const std::atomic<bool>* stop)
      EXCLUDES(mutex_);
  void trimByCount(const std::atomic<bool>* stop) EXCLUDES(mutex_);
  void trimBySize(const Limits& limits, const std::atomic<bool>* stop) EXCLUDES(mutex_);

  // Why evict takes an entry out; what its log line says.
  enum class Rule { Age, Count, Size, Removal };
  // Takes the entry seen out and deletes its files, when it is still the entry seen (not put
  // again, not erased), no writer holds its key, and (for Rule::Count) the cache still holds
  // more than maxCount_ entries. Logs the rule's line with entryTime (Age) or *total, less the
  // entry's size measured now (Size). False when the entry stays.
  bool evict(const Seen& seen, Rule rule, int64_t entryTime, int64_t* total) EXCLUDES(mutex_);
  // The entries, least recently put first. O(K) pointer copies under the mutex.
  std::vector<Seen> snapshot() EXCLUDES(mutex_);
  // Adds or refreshes key's entry at the back. Requires: mutex_ held.
  void addLocked(const FilePaths& paths) REQUIRES(mutex_);
  // Takes key for a deletion: false when a writer holds it.
  bool holdForRemoval(const std::string& key) EXCLUDES(mutex_);
  // Gives key back after the deletion holdForRemoval allowed.
  void releaseAfterRemoval(const std::string& key) EXCLUDES(mutex_);
  // Notes a key changed while the scan has not ended. Requires: mutex_ held.
  void noteChangedLocked(const std::string& key) REQUIRES(mutex_);

  EntryFiles defaultFiles_;
  EntryFiles* const files_;  // set at construction: defaultFiles_ or the caller's

  // Lock order: scanMutex_, then the guard's owner's locks, then mutex_. scanMutex_ is held for
  // a whole scan, mutex_ only for moments, never while a file is touched or the guard called.
  Mutex scanMutex_;
  Mutex mutex_;

  // Guarded by mutex_.
  EvictionGuard* guard_ GUARDED_BY(mutex_) = nullptr;
  std::string cacheDir_ GUARDED_BY(mutex_);  // empty until configured
  int64_t maxSize_ GUARDED_BY(mutex_) = 104857600;
  int32_t maxCount_ GUARDED_BY(mutex_) = 100;
  int64_t cacheExpiredTime_ GUARDED_BY(mutex_) = -1;
  bool initialized_ GUARDED_BY(mutex_) = false;  // a directory scan ended (also when it failed)
  // Keys added, erased or put before the scan ended, and whether clear ran meanwhile: the scan's
  // view of them is older than the index's.
  std::unordered_set<std::string> changedBeforeScan_ GUARDED_BY(mutex_);
  bool clearedBeforeScan_ GUARDED_BY(mutex_) = false;
  uint64_t nextGeneration_ GUARDED_BY(mutex_) = 0;
  EntryList entries_ GUARDED_BY(mutex_);  // front: least recently put; back: most recently put
  // One mapping per entry.
  std::unordered_map<std::string, EntryList::iterator> index_ GUARDED_BY(mutex_);

  // Last: stopped first at destruction, while everything it uses still exists.
  UpkeepThread upkeep_{[this](const std::atomic<bool>& stop) { upkeep(stop); }};
};

}  // namespace zephyl
