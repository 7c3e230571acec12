// FileLruCache: the on-disk index of interrupted chunked downloads (a data file with its ".info"
// progress file and maybe a ".validator" file) that wait in one cache directory to be resumed.
// Entries are ordered by the time they were last put; lookups do not change the order. Trims bound
// the directory by age, entry count and total size and delete the files of what they evict,
// skipping downloads that a writer holds (asked of the eviction guard). Thread-safe: one internal
// mutex. Callers holding a lock of their own must take it before calling in; the cache calls only
// its guard, with its mutex held.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "diagnostics/annotated_mutex.h"
#include "storage/file_paths.h"

namespace zephyl {

class FileLruCache {
 public:
  // Asked before the cache deletes the files of a key (trims, removeAll, the scan's orphans): a
  // key that some writer holds, in this process or another, must keep its files.
  class EvictionGuard {
   public:
    virtual ~EvictionGuard() = default;
    // True when no writer holds key; it then stays so until release(key).
    virtual bool tryHold(const std::string& key) = 0;
    virtual void release(const std::string& key) = 0;
  };

  FileLruCache();
  ~FileLruCache();
  FileLruCache(const FileLruCache&) = delete;
  FileLruCache& operator=(const FileLruCache&) = delete;

  // Every deletion asks guard first; without one (the default) everything may go. Set before
  // the first configure; the guard must outlive the cache.
  void setEvictionGuard(EvictionGuard* guard);

  // Stores the directory and the limits, then scans the directory once per cache: every
  // "<key>.info" file whose data file "<key>" exists becomes an entry (oldest modification time
  // first); ".info" and ".validator" files without their data file and leftover "<side>.tmp"
  // files of interrupted replacements are deleted; other files are left alone. Then one trim
  // runs. A later configure stores the values but does not scan again.
  void configure(const std::string& directory, int64_t maxSize, int32_t maxCount,
                 int64_t cacheExpiredTime);

  // Replaces the limits; they apply from the next trim. maxSize <= 0, maxCount < 1 and
  // cacheExpiredTime <= 0 each switch their rule off.
  void setLimits(int64_t maxSize, int32_t maxCount, int64_t cacheExpiredTime);

  // Copies the paths of key's entry into *out and returns true when there is one. Does not
  // change the eviction order.
  bool get(const std::string& key, FilePaths* out);

  // Makes paths the most recently put entry of paths.fileKey (new or refreshed), then trims.
  void put(const FilePaths& paths);

  // Forgets key's entry without touching its files: the caller takes the files over (a download
  // resumes them, or they were deleted). Nothing happens for an unknown key.
  void erase(const std::string& key);

  // Forgets every entry without touching any file (the directory vanished). No new scan follows.
  void clear();

  // Deletes the files of every entry, least recently put first, and forgets them; entries whose
  // key a writer holds keep their files and their place.
  void removeAll();

 private:
  struct Entry {
    std::string key;
    FilePaths paths;
  };
  using EntryList = std::list<Entry>;

  // Scans cacheDir_ the first time it is called after configure. Requires: mutex_ held.
  void initLocked() REQUIRES(mutex_);
  // Applies the age, count and size rules in this order. Requires: mutex_ held.
  void trimLruCache() REQUIRES(mutex_);
  // Adds or refreshes key's entry at the back, without a trim. Requires: mutex_ held.
  void putLocked(const FilePaths& paths) REQUIRES(mutex_);
  // Deletes one side file of key's download unless a writer holds key. Requires: mutex_ held.
  void removeUnlessHeld(const std::string& key, const std::string& path) REQUIRES(mutex_);
  // Takes key for a deletion: false when a writer holds it. Requires: mutex_ held.
  bool holdForRemoval(const std::string& key) REQUIRES(mutex_);
  // Gives key back after the deletion holdForRemoval allowed. Requires: mutex_ held.
  void releaseAfterRemoval(const std::string& key) REQUIRES(mutex_);
  // Forgets the entry (its files are already deleted); returns the next position.
  // Requires: mutex_ held.
  EntryList::iterator forget(EntryList::iterator position) REQUIRES(mutex_);

  Mutex mutex_;  // inside the guard's owner's lock; only the guard is called inside it

  // Guarded by mutex_.
  EvictionGuard* guard_ GUARDED_BY(mutex_) = nullptr;
  std::string cacheDir_ GUARDED_BY(mutex_);  // empty until configured
  int64_t maxSize_ GUARDED_BY(mutex_) = 104857600;
  int32_t maxCount_ GUARDED_BY(mutex_) = 100;
  int64_t cacheExpiredTime_ GUARDED_BY(mutex_) = -1;
  bool initialized_ GUARDED_BY(mutex_) = false;  // the directory scan ran (also when it failed)
  EntryList entries_ GUARDED_BY(mutex_);  // front: least recently put; back: most recently put
  // One mapping per entry.
  std::unordered_map<std::string, EntryList::iterator> index_ GUARDED_BY(mutex_);
};

}  // namespace zephyl
