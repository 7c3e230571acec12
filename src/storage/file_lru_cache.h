// FileLruCache: the on-disk index of interrupted chunked downloads (a data file with its ".info"
// progress file) that wait in one cache directory to be resumed. Entries are ordered by the time
// they were last put; lookups do not change the order. Trims bound the directory by age, entry
// count and total size and delete the files of what they evict. Thread-safe: one internal mutex.
// Callers holding a lock of their own must take it before calling in (the cache calls nobody).
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "storage/file_paths.h"

namespace zephyl {

class FileLruCache {
 public:
  FileLruCache();
  ~FileLruCache();
  FileLruCache(const FileLruCache&) = delete;
  FileLruCache& operator=(const FileLruCache&) = delete;

  // Stores the directory and the limits, then scans the directory once per cache: every
  // "<key>.info" file whose data file "<key>" exists becomes an entry (oldest modification time
  // first), a ".info" file without its data file is deleted, other files are left alone; then one
  // trim runs. A later configure stores the values but does not scan again.
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

  // Deletes the files of every entry, least recently put first, and forgets them all.
  void removeAll();

 private:
  struct Entry {
    std::string key;
    FilePaths paths;
  };
  using EntryList = std::list<Entry>;

  // Scans cacheDir_ the first time it is called after configure. Requires: mutex_ held.
  void initLocked();
  // Applies the age, count and size rules in this order. Requires: mutex_ held.
  void trimLruCache();
  // Adds or refreshes key's entry at the back, without a trim. Requires: mutex_ held.
  void putLocked(const FilePaths& paths);
  // Deletes the entry's files and forgets it. Requires: mutex_ held.
  EntryList::iterator evict(EntryList::iterator position);

  std::mutex mutex_;  // innermost lock of the storage subsystem; nothing is locked inside it

  // Guarded by mutex_.
  std::string cacheDir_;  // empty until configured
  int64_t maxSize_ = 104857600;
  int32_t maxCount_ = 100;
  int64_t cacheExpiredTime_ = -1;
  bool initialized_ = false;  // the directory scan ran (also when it failed)
  EntryList entries_;         // front: least recently put; back: most recently put
  std::unordered_map<std::string, EntryList::iterator> index_;  // one mapping per entry
};

}  // namespace zephyl
