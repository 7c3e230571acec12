// FileStorageManager: owns the layout below one storage root ("<root>/temp" for single-file
// downloads in progress, "<root>/lruCache" for chunked downloads with their ".info" files), hands
// writers their paths, defers removals of open keys to their close, delivers finished files and
// keeps the LRU cache of interrupted downloads. One instance per root in the process
// (getInstance); thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "storage/file_lru_cache.h"
#include "storage/file_paths.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

// Which writer a file belongs to: single-file downloads live in the temp directory, chunked ones
// in the cache directory with a progress file.
enum class FileKind { SingleFile, Chunked };

// "<base>(<n>)<extension>": the counter goes before the last "." of the file name (a.b.zip, 3 ->
// a.b(3).zip), or at the end when the file name has no "." past its first character (README ->
// README(3), .profile -> .profile(3)). Dots in directory names are never touched.
std::string indexedName(const std::string& path, int n);

class FileStorageManager {
 public:
  // How many names moveToSaveDir tries (the target and target(1) .. target(n-1)) before it gives
  // up on a rename.
  static constexpr int kMaxRenameTries = 10000;
  // errorCode of the failures moveToSaveDir finds itself (no save directory, no free name);
  // the others carry the file-system layer's codes.
  static constexpr int kStorageError = -1;

  // The process-wide manager of rootDir, created on first use and kept until the process ends.
  // Nothing is touched on disk here. For an existing root the policy replaces the cache limits
  // (from the next trim on), so the last caller decides them for every user of the root.
  static std::shared_ptr<FileStorageManager> getInstance(const std::string& rootDir,
                                                         const ZPCachePolicy& policy);

  ~FileStorageManager();
  FileStorageManager(const FileStorageManager&) = delete;
  FileStorageManager& operator=(const FileStorageManager&) = delete;

  // Creates the directories when missing (failures are silent: the writer's own open reports
  // them), empties the temp directory and loads the cache the first time, and marks fileKey open.
  // A chunked key with a cache entry gets the entry's paths and leaves the cache while it is
  // open, so no trim or cache removal can delete files a download is writing. Clears a pending
  // removal of the key. Every openFile is matched by one closeFile, or by a successful
  // moveToSaveDir.
  FilePaths openFile(FileKind kind, const std::string& fileKey);

  // Releases a key opened with openFile. When the last opener of the key lets go, a removal
  // requested meanwhile deletes the files now; otherwise a chunked download's files enter the
  // cache as its most recently put entry (which may trim it). Unknown keys are ignored.
  void closeFile(FileKind kind, const FilePaths& paths);

  // Moves the finished data file to request.savePath (its directory is created), or else to
  // saveDir + "/" + fileKey, then deletes the progress file. The move crosses file systems when it
  // must (copy beside the target, flush, rename). With request.renameIfExists zero an existing
  // target is replaced in one step once the new file is complete there; otherwise the first free
  // name of target, target(1), ... is used and no file is ever replaced. Returns the final path
  // and releases the key (no closeFile follows). On failure returns empty, fills
  // errorCode/errorMsg (either may be null), leaves a file the user had at the target untouched,
  // keeps the stored download complete (data and progress file) so that a later download only
  // delivers, and the key stays open for the writer's closeFile. Called by the writer's thread;
  // no lock is held during the file operations.
  std::string moveToSaveDir(const FilePaths& paths, const ZPRequest& request,
                            const std::string& saveDir, int* errorCode, std::string* errorMsg);

  // Bytes stored and total length from fileKey's progress file; false when there is none or it
  // cannot be read. Either pointer may be null. Reads the disk only, without a lock.
  bool fetchProgress(const std::string& fileKey, int64_t* downloaded, int64_t* total);

  // Deletes the single-file download's temp file, or marks the key when it is open.
  void removeTempFile(const std::string& fileKey);
  // Deletes the chunked download's files and forgets its cache entry, or marks the key when it is
  // open (the files go at its close).
  void removeCacheFile(const std::string& fileKey);
  // Deletes every temp file and every cached download now; open keys are marked instead.
  void removeAllCache();

  const std::string& tempDir() const { return tempDir_; }
  const std::string& lruCacheDir() const { return lruCacheDir_; }

 private:
  // A key between openFile and its closeFile: how many writers hold it (two managers on one root
  // may run the same download) and whether its files go when the last one lets go.
  struct OpenKey {
    int openCount = 0;
    bool removeOnClose = false;
  };
  using OpenKeyMap = std::unordered_map<std::string, OpenKey>;

  FileStorageManager(const std::string& rootDir, const ZPCachePolicy& policy);

  // Requires: mutex_ held.
  void prepareDirectories();
  void configureCacheOnce();
  OpenKeyMap& openKeysOf(FileKind kind);
  // Drops one opener of fileKey; true when that was the last one (the key left the map) and
  // *removeOnClose then tells whether a removal was requested.
  bool releaseKey(FileKind kind, const std::string& fileKey, bool* removeOnClose);

  // After a successful move: deletes the progress file and releases the key. Takes mutex_.
  void finishDelivery(const FilePaths& paths);

  // Set at construction.
  const std::string tempDir_;
  const std::string lruCacheDir_;

  // Lock order: the process-wide registry lock (getInstance), then mutex_, then lruCache_'s own
  // lock (taken inside every lruCache_ call); never in another order.
  std::mutex mutex_;

  // Guarded by mutex_.
  OpenKeyMap openFiles_;       // single-file keys
  OpenKeyMap openChunkFiles_;  // chunked keys, resumed from the cache or not
  bool initialized_ = false;   // the temp directory was emptied and the cache configured
  bool cacheConfigured_ = false;
  ZPCachePolicy cachePolicy_;

  // Called only with mutex_ held; locks itself inside.
  FileLruCache lruCache_;
};

}  // namespace zephyl
