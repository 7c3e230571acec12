// FileStorageManager: owns the layout below one storage root ("<root>/temp" for single-file
// downloads in progress, "<root>/lruCache" for chunked downloads with their ".info" files, each
// download with its ".validator" file when it has one), hands
// writers their paths, one writer per stored download at a time across threads, managers and
// processes (the lock file "<root>/downloads.lock"), defers removals of open keys to their close,
// delivers finished files and keeps the LRU cache of interrupted downloads. One instance per root
// in the process (getInstance); thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/status.h"
#include "storage/file_lru_cache.h"
#include "storage/file_paths.h"
#include "storage/fs.h"
#include "storage/key_locks.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

// "<base>(<n>)<extension>": the counter goes before the last "." of the file name (a.b.zip, 3 ->
// a.b(3).zip), or at the end when the file name has no "." past its first character (README ->
// README(3), .profile -> .profile(3)). Dots in directory names are never touched.
std::string indexedName(const std::string& path, int n);

class FileStorageManager {
 public:
  // How many names moveToSaveDir tries (the target and target(1) .. target(n-1)) before it gives
  // up on a rename.
  static constexpr int kMaxRenameTries = 10000;
  // Code of the failures moveToSaveDir finds itself (no save directory, no free name);
  // the others carry the file-system layer's codes.
  static constexpr int kStorageError = -1;

  // How often a writer waiting for a download held elsewhere tries again; a close in this process
  // wakes it at once.
  static constexpr int kLockPollIntervalMs = 20;

  // The process-wide manager of rootDir (spelled by normalisePath), created on first use and kept until the
  // process ends. Nothing is touched on disk here. For an existing root the policy replaces the
  // cache limits (from the next trim on). Download managers use hold instead.
  static std::shared_ptr<FileStorageManager> getInstance(const std::string& rootDir,
                                                         const ZPCachePolicy& policy);

  // As getInstance, for a download manager that keeps the root until releaseHold: the root's
  // cache limits are one for all its users, so while any hold lasts a policy with other limits
  // is refused (kStorageError, a message naming the root and both limits; the limits stay as
  // they are and no hold is counted). *out receives the root's manager either way. Any thread.
  [[nodiscard]] static Status hold(const std::string& rootDir, const ZPCachePolicy& policy,
                                   std::shared_ptr<FileStorageManager>* out);
  // Ends one successful hold; with the last, the next hold may set other limits.
  void releaseHold() EXCLUDES(mutex_);

  ~FileStorageManager();
  FileStorageManager(const FileStorageManager&) = delete;
  FileStorageManager& operator=(const FileStorageManager&) = delete;

  // Takes the stored download (kind, fileKey) for one writer and returns its paths in *paths.
  // Creates the directories when missing, private to the user (failures are silent: the
  // writer's own open reports them), empties the temp directory (but of downloads held
  // elsewhere) and starts the cache's scan on its upkeep thread the first time (the download
  // does not wait for it). Fails with the file-system layer's report when a storage directory is
  // a link or another user's. Whatever is not a regular file at the download's paths (a link
  // planted there) is removed, never followed. While another writer holds the download (another
  // thread, manager or process, or a trim deleting its files) it waits, trying every
  // kLockPollIntervalMs;
  // once *cancelled is true (cancelled may be null) it fails promptly with code 0. The
  // files on disk then count, not the cache's memory: what another process stored is resumed, what
  // it delivered is gone. While the key is open no trim or cache removal deletes its files. Every
  // successful openFile is matched by one closeFile, or by a successful moveToSaveDir. Called by
  // the writer's thread; blocks.
  [[nodiscard]] Status openFile(FileKind kind, const std::string& fileKey,
                                const std::atomic<bool>* cancelled, FilePaths* paths)
      EXCLUDES(mutex_);
  // The same without cancellation: waits as long as the download is held elsewhere. Empty paths
  // when the storage directories cannot be used.
  FilePaths openFile(FileKind kind, const std::string& fileKey) EXCLUDES(mutex_);

  // Releases a key opened with openFile. A removal requested meanwhile deletes the files now;
  // otherwise a chunked download's files enter the cache as its most recently put entry (which
  // may trim it). Unknown keys are ignored.
  void closeFile(FileKind kind, const FilePaths& paths) EXCLUDES(mutex_);

  // Moves the finished data file to request.savePath (its directory is created), or else to
  // saveDir + "/" + fileKey, then deletes the progress and validator files. The move crosses file
  // systems when it must (copy beside the target, flush, rename). With request.renameIfExists zero
  // an existing target is replaced in one step once the new file is complete there; otherwise the
  // first free name of target, target(1), ... is used and no file is ever replaced. Returns the
  // final path and releases the key (no closeFile follows). On failure returns empty, stores the
  // report into *status (which may be null), leaves a file the user had at the target untouched,
  // keeps the stored download complete (data and progress file) so that a later download only
  // delivers, and the key stays open for the writer's closeFile. Called by the writer's thread;
  // no lock is held during the file operations.
  std::string moveToSaveDir(const FilePaths& paths, const ZPRequest& request,
                            const std::string& saveDir, Status* status = nullptr) EXCLUDES(mutex_);

  // Bytes stored and total length from fileKey's progress file; false when there is none or it
  // cannot be read. Either pointer may be null. Reads the disk only, without a lock.
  bool fetchProgress(const std::string& fileKey, int64_t* downloaded, int64_t* total);

  // The removals below leave a storage directory that is a link or another user's alone.

  // Deletes the single-file download's temp file, or marks the key when it is open here. A
  // download that another process or manager holds is left alone.
  void removeTempFile(const std::string& fileKey) EXCLUDES(mutex_);
  // Deletes the chunked download's files and forgets its cache entry, or marks the key when it is
  // open here (the files go at its close). A download held elsewhere is left alone.
  void removeCacheFile(const std::string& fileKey) EXCLUDES(mutex_);
  // Deletes every temp file and every cached download now; keys open here are marked instead,
  // downloads held elsewhere are left alone. No lock that a download takes is held while the
  // cached downloads' files are deleted.
  void removeAllCache() EXCLUDES(mutex_);

  // Waits until the cache's scan and the trims asked for so far are done (they run on the
  // cache's upkeep thread after the first open and after every interrupted download). Any thread
  // but a writer's between openFile and closeFile.
  void waitForCacheUpkeep();

  const std::string& tempDir() const { return tempDir_; }
  const std::string& lruCacheDir() const { return lruCacheDir_; }
  const std::string& lockFilePath() const { return lockFilePath_; }

 private:
  // A key between openFile and its closeFile: whether its files go when it closes.
  struct OpenKey {
    bool removeOnClose = false;
  };
  using OpenKeyMap = std::unordered_map<std::string, OpenKey>;

  // Lets the cache delete only the chunked downloads that no writer holds.
  class CacheGuard : public FileLruCache::EvictionGuard {
   public:
    explicit CacheGuard(FileStorageManager& owner) : owner_(owner) {}
    // Take owner_.mutex_: the cache calls them without its own lock, from the caller's thread
    // (removeAll) or its upkeep thread, never with owner_.mutex_ held.
    bool tryHold(const std::string& key) override EXCLUDES(owner_.mutex_);
    void release(const std::string& key) override EXCLUDES(owner_.mutex_);

   private:
    FileStorageManager& owner_;
  };

  FileStorageManager(const std::string& rootDir, const ZPCachePolicy& policy);

  // Requires: mutex_ held. The report when a storage directory is unsafe. After the first full
  // check only the directory of kind is looked at, and checked in full again when it changed.
  Status prepareDirectories(FileKind kind) REQUIRES(mutex_);
  // Requires: mutex_ held. False (logged) when the directory exists and is a link or another
  // user's; made private otherwise.
  bool isSafeDirectory(const std::string& directory) REQUIRES(mutex_);
  // Configures the cache the first time. Requires: mutex_ held.
  void configureCacheOnce() REQUIRES(mutex_);
  // The open keys of kind: a reference to use only while mutex_ stays held.
  // Requires: mutex_ held.
  OpenKeyMap& openKeysOf(FileKind kind) REQUIRES(mutex_);
  // Takes a download that no writer holds, here or elsewhere, for a deletion or an open.
  // Requires: mutex_ held.
  bool tryLockIdleKey(FileKind kind, const std::string& fileKey) REQUIRES(mutex_);
  // Deletes one entry of the temp directory (file or directory) unless its download is held.
  // Requires: mutex_ held.
  void removeIdleTempEntry(const std::string& path) REQUIRES(mutex_);
  // Forgets an open key and lets waiting writers try again. False when it was not open.
  // Requires: mutex_ held.
  bool releaseOpenKey(FileKind kind, const std::string& fileKey, bool* removeOnClose)
      REQUIRES(mutex_);

  // Removes links and anything else but regular files at the paths of a held download.
  static void removeForeignEntries(const FilePaths& paths);

  // After a successful move: deletes the progress file and releases the key. Takes mutex_.
  void finishDelivery(const FilePaths& paths) EXCLUDES(mutex_);
  // removeAllCache's part under mutex_: marks the open keys, deletes the idle temp files and
  // configures the cache when no open did yet.
  void removeAllTempFiles() EXCLUDES(mutex_);

  // Set at construction. Without a root (an empty rootDir) nothing is stored and nothing
  // removed: its directories would be "/temp" and "/lruCache" at the top of the file system.
  const bool hasRoot_;
  const std::string tempDir_;
  const std::string lruCacheDir_;
  const std::string lockFilePath_;

  // Lock order: the process-wide registry lock (getInstance), then mutex_, then lruCache_'s own
  // locks; never in another order. The cache's trims, scan and removeAll call cacheGuard_, which
  // takes mutex_: they are called (or run on the cache's upkeep thread) without mutex_ held.
  Mutex mutex_;
  ConditionVariable keyReleased_;  // with mutex_: a key was closed, delivered or trimmed

  // Guarded by mutex_.
  OpenKeyMap openFiles_ GUARDED_BY(mutex_);       // single-file keys
  OpenKeyMap openChunkFiles_ GUARDED_BY(mutex_);  // chunked keys, resumed from the cache or not
  // The keys above, and keys held for a deletion. Not thread-safe itself: mutex_ is its lock.
  KeyLocks keyLocks_ GUARDED_BY(mutex_);
  // The temp directory was emptied and the cache configured.
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool cacheConfigured_ GUARDED_BY(mutex_) = false;
  // Both storage directories were made or found safe by the last full check, which saw them as
  // below.
  bool directoriesChecked_ GUARDED_BY(mutex_) = false;
  fs::EntryIdentity checkedTempDir_ GUARDED_BY(mutex_);
  fs::EntryIdentity checkedLruCacheDir_ GUARDED_BY(mutex_);
  ZPCachePolicy cachePolicy_ GUARDED_BY(mutex_);
  int holds_ GUARDED_BY(mutex_) = 0;  // download managers using the root (hold)

  // Outlives lruCache_, which calls it (from its upkeep thread too).
  CacheGuard cacheGuard_{*this};
  // Thread-safe itself. Its O(1) operations (add, erase, clear, setLimits, configureInBackground)
  // may be called with mutex_ held; those that call cacheGuard_ (put, removeAll, configure) and
  // the waits for its upkeep thread only without. Last: destroyed first, its upkeep thread
  // stopped while the members it reaches still exist.
  FileLruCache lruCache_;
};

}  // namespace zephyl
