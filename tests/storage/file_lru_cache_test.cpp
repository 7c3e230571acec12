#include "storage/file_lru_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "storage/log_capture.h"
#include "support/temp_dir.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

constexpr int64_t kDayMs = 86400000;

using test::countOf;
using test::LogCapture;

class FileLruCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    root_ = temp_.path();
    dir_ = temp_.file("lruCache");
    std::filesystem::create_directory(dir_);
  }

  static void writeFile(const std::string& path, size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, 'x');
  }
  static void setModifiedSeconds(const std::string& path, time_t seconds) {
    utimbuf times{seconds, seconds};
    ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
  }
  static bool exists(const std::string& path) { return std::filesystem::exists(path); }

  FilePaths pathsOf(const std::string& key) const {
    return FilePaths{key, dir_ + "/" + key, dir_ + "/" + key + ".info",
                     dir_ + "/" + key + ".validator"};
  }
  // An interrupted download on disk: data and progress file.
  FilePaths makeEntry(const std::string& key, size_t dataSize = 50, size_t infoSize = 10) const {
    FilePaths paths = pathsOf(key);
    writeFile(paths.dataPath, dataSize);
    writeFile(paths.infoPath, infoSize);
    return paths;
  }
  bool filesExist(const std::string& key) const {
    return exists(pathsOf(key).dataPath) && exists(pathsOf(key).infoPath);
  }
  bool filesGone(const std::string& key) const {
    return !exists(pathsOf(key).dataPath) && !exists(pathsOf(key).infoPath);
  }

  test::TempDir temp_;
  std::string root_;
  std::string dir_;
};

// --- start-up scan ---

TEST_F(FileLruCacheTest, StartupScanIndexesPairsDeletesOrphanInfoAndIgnoresBareData) {
  writeFile(dir_ + "/a", 5);
  writeFile(dir_ + "/a.info", 5);
  writeFile(dir_ + "/b.info", 5);
  writeFile(dir_ + "/c", 5);
  FileLruCache cache;
  LogCapture capture(Warn);
  cache.configure(dir_, 0, 0, 0);
  const std::string out = capture.take();

  EXPECT_NE(out.find("FileLruCache init fileCount = 4\n"), std::string::npos) << out;
  EXPECT_FALSE(exists(dir_ + "/b.info"));
  EXPECT_TRUE(exists(dir_ + "/c"));
  FilePaths found;
  ASSERT_TRUE(cache.get("a", &found));
  EXPECT_EQ(found.fileKey, "a");
  EXPECT_EQ(found.dataPath, dir_ + "/a");
  EXPECT_EQ(found.infoPath, dir_ + "/a.info");
  EXPECT_FALSE(cache.get("b", &found));
  EXPECT_FALSE(cache.get("c", &found));

  // The bare data file is never the cache's to delete, not even by removeAll.
  cache.removeAll();
  EXPECT_TRUE(filesGone("a"));
  EXPECT_TRUE(exists(dir_ + "/c"));
}

TEST_F(FileLruCacheTest, StartupScanOrdersEntriesByModificationTimeOldestFirst) {
  // Name order and time order disagree on purpose.
  makeEntry("a");
  makeEntry("b");
  makeEntry("c");
  setModifiedSeconds(dir_ + "/a.info", 3000);
  setModifiedSeconds(dir_ + "/b.info", 1000);
  setModifiedSeconds(dir_ + "/c.info", 2000);
  for (const char* key : {"a", "b", "c"}) setModifiedSeconds(dir_ + "/" + key, 500);

  FileLruCache cache;
  LogCapture capture(Debug);
  cache.configure(dir_, 0, 1, 0);
  const std::string out = capture.take();

  EXPECT_NE(out.find("trimLruCache remove exceedCount b currentCount = 3 maxCount = 1\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("trimLruCache remove exceedCount c currentCount = 2 maxCount = 1\n"),
            std::string::npos)
      << out;
  EXPECT_LT(out.find("exceedCount b"), out.find("exceedCount c"));
  EXPECT_TRUE(filesGone("b"));
  EXPECT_TRUE(filesGone("c"));
  EXPECT_TRUE(filesExist("a"));
}

TEST_F(FileLruCacheTest, ListingFailureLeavesCacheEmptyAndIsNotRetried) {
  const std::string missing = root_ + "/missing";
  FileLruCache cache;
  LogCapture capture(Warn);
  cache.configure(missing, 0, 0, 0);
  const std::string out = capture.take();
  EXPECT_NE(out.find("FileLruCache initFailed\n"), std::string::npos) << out;

  std::filesystem::create_directory(missing);
  writeFile(missing + "/k", 1);
  writeFile(missing + "/k.info", 1);
  cache.configure(missing, 0, 0, 0);
  FilePaths found;
  EXPECT_FALSE(cache.get("k", &found));
}

TEST_F(FileLruCacheTest, UseBeforeConfigureDoesNotSpoilTheLaterScan) {
  makeEntry("k");
  FileLruCache cache;
  FilePaths found;
  EXPECT_FALSE(cache.get("k", &found));
  cache.configure(dir_, 0, 0, 0);
  EXPECT_TRUE(cache.get("k", &found));
}

// --- eviction order ---

TEST_F(FileLruCacheTest, CountRuleEvictsLeastRecentlyPutFirst) {
  FileLruCache cache;
  cache.configure(dir_, 0, 2, 0);
  cache.put(makeEntry("x"));
  cache.put(makeEntry("y"));
  LogCapture capture(Debug);
  cache.put(makeEntry("z"));
  const std::string out = capture.take();

  EXPECT_NE(out.find("trimLruCache remove exceedCount x currentCount = 3 maxCount = 2\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("trimLruCache check: maxCount= 2, cacheExpiredTime = 0, maxSize = 0, "
                     "currentTime = "),
            std::string::npos)
      << out;
  EXPECT_TRUE(filesGone("x"));
  EXPECT_TRUE(filesExist("y"));
  EXPECT_TRUE(filesExist("z"));
  FilePaths found;
  EXPECT_FALSE(cache.get("x", &found));
}

TEST_F(FileLruCacheTest, PuttingAgainMovesEntryToTheBack) {
  FileLruCache cache;
  cache.configure(dir_, 0, 3, 0);
  cache.put(makeEntry("x"));
  cache.put(makeEntry("y"));
  cache.put(makeEntry("z"));
  cache.put(pathsOf("y"));  // order now x, z, y

  cache.put(makeEntry("w"));
  EXPECT_TRUE(filesGone("x"));
  EXPECT_TRUE(filesExist("z"));
  cache.put(makeEntry("v"));
  EXPECT_TRUE(filesGone("z"));
  EXPECT_TRUE(filesExist("y"));
}

TEST_F(FileLruCacheTest, GetDoesNotChangeEvictionOrder) {
  FileLruCache cache;
  cache.configure(dir_, 0, 2, 0);
  cache.put(makeEntry("x"));
  cache.put(makeEntry("y"));
  FilePaths found;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(cache.get("x", &found));
  cache.put(makeEntry("z"));
  EXPECT_TRUE(filesGone("x"));
  EXPECT_TRUE(filesExist("y"));
}

TEST_F(FileLruCacheTest, SizeRuleEvictsFrontUntilTotalFits) {
  FileLruCache cache;
  cache.configure(dir_, 100, 0, 0);
  cache.put(makeEntry("first", 50, 10));
  LogCapture capture(Debug);
  cache.put(makeEntry("second", 50, 10));
  const std::string out = capture.take();

  EXPECT_NE(out.find("trimLruCache remove exceedSize first totalSize = 60 maxSize = 100\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(filesGone("first"));
  EXPECT_TRUE(filesExist("second"));
}

TEST_F(FileLruCacheTest, SizeIsMeasuredOnDiskAtEveryTrim) {
  FileLruCache cache;
  cache.configure(dir_, 100, 0, 0);
  cache.put(makeEntry("grows", 10, 10));
  cache.put(makeEntry("small", 10, 10));
  EXPECT_TRUE(filesExist("grows"));
  writeFile(pathsOf("grows").dataPath, 90);  // a writer kept appending meanwhile
  cache.put(makeEntry("third", 1, 1));
  EXPECT_TRUE(filesGone("grows"));
  EXPECT_TRUE(filesExist("small"));
  EXPECT_TRUE(filesExist("third"));
}

TEST_F(FileLruCacheTest, AgeRuleRemovesExpiredEntriesWhereverTheyStand) {
  FileLruCache cache;
  cache.configure(dir_, 0, 0, kDayMs);
  cache.put(makeEntry("front"));
  cache.put(makeEntry("middle"));
  cache.put(makeEntry("back"));
  EXPECT_TRUE(filesExist("middle"));
  // Times are read at each trim: the middle entry ages on disk while it waits.
  setModifiedSeconds(pathsOf("middle").dataPath, time(nullptr) - time_t{2} * 86400);
  LogCapture capture(Debug);
  cache.put(makeEntry("new"));
  const std::string out = capture.take();

  EXPECT_EQ(countOf(out, "trimLruCache remove expiredItem middle "), 1u) << out;
  EXPECT_EQ(countOf(out, "expiredItem"), 1u) << out;
  EXPECT_TRUE(filesGone("middle"));
  EXPECT_TRUE(filesExist("front"));
  EXPECT_TRUE(filesExist("back"));
  EXPECT_TRUE(filesExist("new"));
}

TEST_F(FileLruCacheTest, ExpiredItemLineCarriesTheEntryTime) {
  FileLruCache cache;
  cache.configure(dir_, 0, 0, 0);
  const FilePaths old = makeEntry("old");
  setModifiedSeconds(old.dataPath, 1000);
  cache.put(old);
  cache.put(makeEntry("fresh"));
  cache.setLimits(0, 0, kDayMs);
  LogCapture capture(Debug);
  cache.put(pathsOf("fresh"));
  const std::string out = capture.take();
  EXPECT_NE(out.find("trimLruCache remove expiredItem old 1000000\n"), std::string::npos) << out;
  EXPECT_TRUE(filesGone("old"));
}

// --- limits ---

TEST_F(FileLruCacheTest, ZeroAndNegativeLimitsSwitchEveryRuleOff) {
  for (int64_t limit : {int64_t{0}, int64_t{-1}, int64_t{-100}}) {
    FileLruCache cache;
    cache.configure(dir_, limit, static_cast<int32_t>(limit), limit);
    for (int i = 0; i < 5; ++i) {
      const std::string key = "k" + std::to_string(i);
      const FilePaths paths = makeEntry(key, 1000, 10);
      setModifiedSeconds(paths.dataPath, 1000);
      cache.put(paths);
    }
    for (int i = 0; i < 5; ++i) {
      EXPECT_TRUE(filesExist("k" + std::to_string(i))) << "limit " << limit << " key " << i;
    }
    cache.removeAll();
  }
}

TEST_F(FileLruCacheTest, NewLimitsApplyAtTheNextTrimOnly) {
  FileLruCache cache;
  cache.configure(dir_, 0, 10, 0);
  cache.put(makeEntry("x"));
  cache.put(makeEntry("y"));
  cache.put(makeEntry("z"));
  cache.setLimits(0, 1, 0);
  EXPECT_TRUE(filesExist("x"));
  EXPECT_TRUE(filesExist("z"));
  cache.put(makeEntry("w"));
  EXPECT_TRUE(filesGone("x"));
  EXPECT_TRUE(filesGone("y"));
  EXPECT_TRUE(filesGone("z"));
  EXPECT_TRUE(filesExist("w"));
}

// --- forgetting entries ---

TEST_F(FileLruCacheTest, RemoveAllDeletesEveryEntryAndClearKeepsFiles) {
  FileLruCache cache;
  cache.configure(dir_, 0, 0, 0);
  cache.put(makeEntry("a"));
  cache.put(makeEntry("b"));
  cache.clear();
  FilePaths found;
  EXPECT_FALSE(cache.get("a", &found));
  EXPECT_TRUE(filesExist("a"));
  EXPECT_TRUE(filesExist("b"));

  cache.put(pathsOf("a"));
  cache.removeAll();
  EXPECT_TRUE(filesGone("a"));
  EXPECT_TRUE(filesExist("b"));  // forgotten by clear, so no longer the cache's
  EXPECT_FALSE(cache.get("a", &found));
}

TEST_F(FileLruCacheTest, EraseHandsFilesOverAndTakesEntryOutOfEviction) {
  FileLruCache cache;
  cache.configure(dir_, 0, 1, 0);
  cache.put(makeEntry("resumed"));
  cache.erase("resumed");
  cache.put(makeEntry("other"));
  cache.put(makeEntry("third"));
  EXPECT_TRUE(filesExist("resumed"));
  EXPECT_TRUE(filesGone("other"));
  cache.removeAll();
  EXPECT_TRUE(filesExist("resumed"));
}

// --- validators and leftovers ---

TEST_F(FileLruCacheTest, StartupScanDeletesOrphanSideFilesAndLeftoversOnly) {
  makeEntry("a");
  writeFile(dir_ + "/a.validator", 5);
  writeFile(dir_ + "/a.info.tmp", 7);   // a save of a's progress cut short
  writeFile(dir_ + "/b.validator", 5);  // its data is gone
  writeFile(dir_ + "/c", 50);           // data and validator without progress file
  writeFile(dir_ + "/c.validator", 5);
  writeFile(dir_ + "/d.validator.tmp", 5);  // a validator save cut short
  // Keys "." and "..": their data paths are the cache directory and its parent, no download's.
  writeFile(dir_ + "/..info", 5);
  writeFile(dir_ + "/...info", 5);
  writeFile(dir_ + "/..info.tmp", 5);
  // Key "e.info" would take e's progress file for its data.
  makeEntry("e");
  writeFile(dir_ + "/e.info.info", 5);
  writeFile(dir_ + "/.info.info", 5);  // key ".info", a bare side file name
  FileLruCache cache;
  cache.configure(dir_, 0, 0, 0);

  EXPECT_TRUE(exists(dir_ + "/a.validator"));
  EXPECT_FALSE(exists(dir_ + "/a.info.tmp"));
  EXPECT_FALSE(exists(dir_ + "/b.validator"));
  EXPECT_TRUE(exists(dir_ + "/c"));
  EXPECT_TRUE(exists(dir_ + "/c.validator"));
  EXPECT_FALSE(exists(dir_ + "/d.validator.tmp"));
  FilePaths found;
  ASSERT_TRUE(cache.get("a", &found));
  EXPECT_EQ(found.validatorPath, dir_ + "/a.validator");
  EXPECT_FALSE(cache.get("c", &found));
  EXPECT_FALSE(cache.get("a.validator", &found));
  EXPECT_FALSE(cache.get("c.validator", &found));
  EXPECT_TRUE(cache.get("e", &found));
  for (const char* key : {".", "..", "e.info"}) EXPECT_FALSE(cache.get(key, &found)) << key;
  for (const char* name :
       {"..info", "...info", "..info.tmp", "e.info", "e.info.info", ".info.info"}) {
    EXPECT_TRUE(exists(dir_ + "/" + name)) << name;
  }
}

TEST_F(FileLruCacheTest, ValidatorCountsInTheSizeAndGoesWithItsEntry) {
  FileLruCache cache;
  cache.configure(dir_, 130, 0, 0);
  const FilePaths x = makeEntry("x");  // 60 bytes
  writeFile(x.validatorPath, 30);
  cache.put(x);
  cache.put(makeEntry("y"));  // 150 in all, 120 without the validator
  EXPECT_TRUE(filesGone("x"));
  EXPECT_FALSE(exists(x.validatorPath));
  EXPECT_TRUE(filesExist("y"));
}

// --- downloads a writer holds ---

// Holds the keys it is told to; counts the holds it grants and the releases it gets.
class FixedGuard : public FileLruCache::EvictionGuard {
 public:
  bool tryHold(const std::string& key) override {
    if (held.count(key) != 0) return false;
    ++granted;
    return true;
  }
  void release(const std::string&) override { ++released; }

  std::set<std::string> held;
  int granted = 0;
  int released = 0;
};

struct RuleLimits {
  const char* name;
  int64_t maxSize;
  int32_t maxCount;
  int64_t cacheExpiredTime;
};

class HeldEntryTest : public FileLruCacheTest, public testing::WithParamInterface<RuleLimits> {};

// The held entry is the least recently put (and the oldest): each rule must pass over it and
// take the next one instead.
TEST_P(HeldEntryTest, RulesAndRemovalPassOverHeldEntries) {
  FixedGuard guard;
  guard.held = {"held", "orphan"};
  writeFile(dir_ + "/orphan.info", 10);  // its writer has not created the data file yet
  FileLruCache cache;
  cache.setEvictionGuard(&guard);
  cache.configure(dir_, 0, 0, 0);
  EXPECT_TRUE(exists(dir_ + "/orphan.info"));

  const RuleLimits limits = GetParam();
  cache.setLimits(limits.maxSize, limits.maxCount, limits.cacheExpiredTime);
  const time_t old = std::time(nullptr) - 2 * kDayMs / 1000;
  cache.put(makeEntry("held"));
  setModifiedSeconds(pathsOf("held").dataPath, old);
  cache.put(makeEntry("next"));
  setModifiedSeconds(pathsOf("next").dataPath, old);
  cache.put(makeEntry("newest"));  // 3 entries of 60 bytes: over 2 entries and 120 bytes
  EXPECT_TRUE(filesExist("held"));
  EXPECT_TRUE(filesGone("next"));
  EXPECT_TRUE(filesExist("newest"));

  cache.removeAll();
  EXPECT_TRUE(filesExist("held"));
  EXPECT_TRUE(filesGone("newest"));
  guard.held.clear();
  cache.removeAll();  // the held entry kept its place in the index
  EXPECT_TRUE(filesGone("held"));
  EXPECT_EQ(guard.granted, guard.released);
}

INSTANTIATE_TEST_SUITE_P(EveryRule, HeldEntryTest,
                         testing::Values(RuleLimits{"Count", 0, 2, 0},
                                         RuleLimits{"Size", 120, 0, 0},
                                         RuleLimits{"Age", 0, 0, kDayMs}),
                         [](const testing::TestParamInfo<RuleLimits>& info) {
                           return std::string(info.param.name);
                         });

// --- upkeep off the caller's path ---

// Counts what the cache reads of and does to entries' files; deletes the real files, and can
// pause between a data file and its progress file so that a half-deleted entry lasts a while.
class CountingFiles : public FileLruCache::EntryFiles {
 public:
  int64_t sizeOf(const FilePaths& paths) override {
    ++measures;
    return EntryFiles::sizeOf(paths);
  }
  int64_t modifiedTimeMsOf(const FilePaths& paths) override {
    ++measures;
    return EntryFiles::modifiedTimeMsOf(paths);
  }
  void remove(const FilePaths& paths) override {
    ++removals;
    std::filesystem::remove(paths.dataPath);
    std::this_thread::sleep_for(pauseInside);
    std::filesystem::remove(paths.infoPath);
  }

  std::atomic<int> measures{0};
  std::atomic<int> removals{0};
  std::chrono::microseconds pauseInside{0};
};

// The pins a storage manager's key locks give: one holder per key, trims and downloads alike.
class PinGuard : public FileLruCache::EvictionGuard {
 public:
  bool tryHold(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.insert(key).second;
  }
  void release(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(key);
  }

 private:
  std::mutex mutex_;
  std::set<std::string> held_;  // guarded by mutex_
};

// Putting an interrupted download back, resuming one and touching one cost the same with 2,000
// entries as with none: no entry's files are measured or deleted on the caller's thread, and a
// trim by count measures nothing either, only deletes the excess.
TEST_F(FileLruCacheTest, PutBackWithManyEntriesTouchesNoOtherEntrysFiles) {
  constexpr int kEntries = 2000;
  CountingFiles files;
  FileLruCache cache(&files);
  cache.configure(dir_, 1LL << 40, kEntries, kDayMs);  // every rule on
  for (int i = 0; i < kEntries; ++i) cache.add(pathsOf("k" + std::to_string(i)));

  cache.add(makeEntry("back"));  // the put-back of a download that was cut short
  cache.erase("k7");             // a download resuming its entry
  cache.add(pathsOf("k9"));      // one put back again
  FilePaths found;
  EXPECT_TRUE(cache.get("k10", &found));
  EXPECT_EQ(files.measures.load(), 0);
  EXPECT_EQ(files.removals.load(), 0);

  // Over the count by one: the trim deletes the front entry alone, measuring nothing.
  cache.setLimits(0, kEntries - 1, 0);
  cache.add(pathsOf("k7"));
  cache.requestTrim();
  cache.waitForUpkeep();
  EXPECT_EQ(files.measures.load(), 0);
  EXPECT_EQ(files.removals.load(), 2);  // k0 and k1: 2,001 entries, limit 1,999
  EXPECT_FALSE(cache.get("k0", &found));
  EXPECT_FALSE(cache.get("k1", &found));
  EXPECT_TRUE(cache.get("k2", &found));
  EXPECT_TRUE(filesExist("back"));

  // The counter does see measurements: the size rule makes them, on the upkeep thread.
  cache.setLimits(1, 0, 0);
  cache.requestTrim();
  cache.waitForUpkeep();
  EXPECT_GE(files.measures.load(), kEntries - 1);
}

// A download resumes entries from the front while the upkeep thread trims them away: each
// resume finds its entry whole (data and progress file, as stored) or gone entirely, and no file
// of a resumed entry goes while the download holds it.
TEST_F(FileLruCacheTest, BackgroundTrimNeverHandsAResumeAHalfDeletedEntry) {
  constexpr int kEntries = 60;
  CountingFiles files;
  files.pauseInside = std::chrono::microseconds(1500);  // data gone, progress file still there
  PinGuard pins;
  FileLruCache cache(&files);
  cache.setEvictionGuard(&pins);
  cache.configure(dir_, 0, 0, 0);
  for (int i = 0; i < kEntries; ++i) {
    const std::string key = "r" + std::to_string(i);
    cache.add(makeEntry(key));
  }
  cache.setLimits(0, 1, 0);
  cache.requestTrim();

  int whole = 0;
  int gone = 0;
  int halfDeleted = 0;
  int deletedWhileHeld = 0;
  for (int i = 0; i < kEntries - 1; ++i) {
    const std::string key = "r" + std::to_string(i);
    // The download's pin: taken before it looks at its entry, as a storage manager takes the
    // key's lock. Bounded: a trim holds a key only while it deletes its files.
    bool pinned = false;
    for (int tries = 0; tries < 5000 && !(pinned = pins.tryHold(key)); ++tries) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(pinned) << key;
    cache.erase(key);
    const FilePaths paths = pathsOf(key);
    const bool data = exists(paths.dataPath);
    const bool info = exists(paths.infoPath);
    if (data != info) {
      ++halfDeleted;
    } else if (data) {
      ++whole;
      EXPECT_EQ(std::filesystem::file_size(paths.dataPath), 50u) << key;
      std::this_thread::sleep_for(std::chrono::microseconds(500));  // trims go on meanwhile
      if (!exists(paths.dataPath) || !exists(paths.infoPath)) ++deletedWhileHeld;
      cache.add(paths);  // interrupted again: back into the cache
    } else {
      ++gone;
    }
    pins.release(key);
  }
  cache.waitForUpkeep();

  EXPECT_EQ(halfDeleted, 0);
  EXPECT_EQ(deletedWhileHeld, 0);
  EXPECT_EQ(whole + gone, kEntries - 1);
  EXPECT_GT(files.removals.load(), 0);
  // The trim ended with the limit kept.
  cache.requestTrim();
  cache.waitForUpkeep();
  int left = 0;
  for (int i = 0; i < kEntries; ++i) left += filesExist("r" + std::to_string(i)) ? 1 : 0;
  EXPECT_EQ(left, 1);
}

// Lets every key go, but holds the scan on the upkeep thread at the key "pause" (an orphan
// side file it asks to delete) until open() is called, or for at most 10 s.
class PausingGuard : public FileLruCache::EvictionGuard {
 public:
  bool tryHold(const std::string& key) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (key == "pause") {
      reached_ = true;
      changed_.notify_all();
      changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }
    return true;
  }
  void release(const std::string&) override {}
  bool waitReached() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return reached_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool reached_ = false;  // guarded by mutex_
  bool open_ = false;     // guarded by mutex_
};

// The scan runs on the upkeep thread and the index is used meanwhile: what changed before the
// scan ended wins over what the scan found. A download that resumed and put back its entry keeps
// the place of its put-back (behind every entry of an earlier run), and an entry removed meanwhile
// does not come back.
TEST_F(FileLruCacheTest, BackgroundScanYieldsToEntriesChangedMeanwhile) {
  for (const char* key : {"old", "older", "resumed", "gone"}) makeEntry(key);
  setModifiedSeconds(dir_ + "/resumed.info", 1000);  // the oldest on disk
  setModifiedSeconds(dir_ + "/older.info", 2000);
  setModifiedSeconds(dir_ + "/old.info", 3000);
  writeFile(dir_ + "/pause.validator", 1);  // an orphan: the scan stops at it
  PausingGuard guard;
  FileLruCache cache;
  cache.setEvictionGuard(&guard);
  cache.configureInBackground(dir_, 0, 0, 0);
  ASSERT_TRUE(guard.waitReached());  // listed, not yet merged

  cache.erase("resumed");  // opened by a download...
  cache.add(pathsOf("resumed"));  // ...and interrupted again
  cache.erase("gone");  // removed on request
  std::filesystem::remove(pathsOf("gone").dataPath);
  std::filesystem::remove(pathsOf("gone").infoPath);
  guard.open();
  cache.waitForUpkeep();

  FilePaths found;
  EXPECT_FALSE(cache.get("gone", &found));
  ASSERT_TRUE(cache.get("older", &found));
  EXPECT_FALSE(exists(dir_ + "/pause.validator"));
  cache.setLimits(0, 1, 0);
  cache.requestTrim();
  cache.waitForUpkeep();
  EXPECT_TRUE(filesExist("resumed"));
  EXPECT_TRUE(filesGone("older"));
  EXPECT_TRUE(filesGone("old"));
}

}  // namespace
}  // namespace zephyl
