// ChunkDataWriter: the default, resumable sink. Every chunk is written at its own offset of one
// data file in the cache directory, and a ".info" progress file beside it records which ranges
// are stored, so that an interrupted download continues where it stopped. Thread-safe: write,
// setContentLength, coverWholeResource, chunkAt and unfinishedChunks run on several chunk workers
// at once (one mutex); open, close, reset, moveToSaveDir and firstChunk run on the task's thread
// while no chunk runs; contentLength and downloadedLength may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "sinks/data_writer.h"
#include "storage/file_handle.h"
#include "storage/file_paths.h"

namespace zephyl {

class FileStorageManager;

class ChunkDataWriter : public DataWriter {
 public:
  // The time source of the periodic progress saves, in milliseconds.
  using Clock = int64_t (*)();
  // While a chunk runs, the progress file is rewritten when more than this has passed since the
  // last save.
  static constexpr int64_t kSaveIntervalMs = 5000;
  // A finished chunk is saved once this much has passed since the last save (or, for the first
  // save, since open): every save first brings the data to stable storage, which costs too much
  // to do for every chunk of a fast download, and a download shorter than this never needs one
  // (close saves what an interrupted one stored).
  static constexpr int64_t kFinishedSaveIntervalMs = 1000;

  // Records the room kept for the progress file's next replacement is sized for, at most: a
  // plan of finer chunks may need more, and its save may then fail on a full disk.
  static constexpr int64_t kMaxReservedRecords = 4096;

  // blockSize <= 0 plans with the default block size. cancelled (may be null) ends open's wait
  // for a key another writer holds; it must outlive the writer. writeOutBeforeDelivery false
  // delivers the file without waiting for its data to reach the disk.
  ChunkDataWriter(std::string fileKey, std::shared_ptr<FileStorageManager> storage,
                  std::string saveDir, int64_t blockSize,
                  const std::atomic<bool>* cancelled = nullptr, bool writeOutBeforeDelivery = true);
  // Closes a stream left open (close should have come first); never calls the storage manager.
  ~ChunkDataWriter() override;
  ChunkDataWriter(const ChunkDataWriter&) = delete;
  ChunkDataWriter& operator=(const ChunkDataWriter&) = delete;

  // Takes the key's paths from the storage manager (an interrupted download's files when the
  // cache holds them; waiting, cancellably, while another writer holds the key; false with
  // errorCode 0 when cancelled), loads the progress file and opens the data file without truncating
  // it. Only what the two files prove is kept: ranges are clamped to the data file's size, and a
  // progress file that is unreadable, short, or inconsistent is ignored (a short one keeps the
  // content length it stated); with no range left the data file is emptied. False with
  // fOpenFile's report when the data file cannot be opened; close must still follow.
  bool open(int* errorCode, std::string* errorMsg) override;
  // Saves the progress, closes the data file and hands both files back to the storage manager,
  // which caches them for a later resumption (or deletes them when a removal was asked).
  void close() override;
  // Closes the data file (written out to the disk first, unless the writer was made without
  // that) and has the storage manager move it to request.savePath or saveDir/<fileKey> (the
  // progress file is deleted); fills outputFilePath and fileLength. False when a known length is
  // not stored completely (CACHE_ERROR) or the move fails; the files then stay for close to cache
  // them, and the response is untouched.
  bool moveToSaveDir(const ZPRequest& request, ZPResponse* response, int* errorCode,
                     std::string* errorMsg) override;
  // Deletes the progress, validator and data files, recreates an empty data file and forgets the
  // plan, the length and the validator.
  void reset() override;
  // Reads from the data file (opened for the call after a failed delivery closed it). False when
  // it cannot be read or is shorter.
  bool readStored(int64_t offset, void* buffer, size_t size) override;
  // Has the storage manager remove the download's files (now, or at close while the key is
  // open) and forgets the progress, so that close records nothing.
  void discardStored() override;

  // Before any plan: creates the chunk [0, blockSize). Otherwise the first unfinished chunk, or a
  // default ChunkInfo when everything is stored.
  ChunkInfo firstChunk() override;
  // The next unfinished chunk after afterChunkId, planned as reached; false while the length is
  // unknown or when none is left.
  bool nextChunk(int afterChunkId, ChunkInfo* chunk) override;
  // A copy of chunks[index]; a default ChunkInfo for an index outside the plan.
  ChunkInfo chunkAt(int index) override;

  // Extends the plan to cover length (a plan loaded for the same length is kept) and keeps room
  // on the disk for the download: the data file's length bytes (fs::reserveFileSpace), and the
  // replacements of the progress and validator files, so that a disk filling meanwhile still
  // lets close record what was stored. False with CACHE_ERROR when the length is unknown
  // (negative, "contentLength unknown"), differs from the one already known ("contentLength
  // error: <new> <old>") or needs too many chunks; false with the system's no-space code and
  // noRoomMessage when the storage disk cannot hold the download.
  bool setContentLength(int64_t length, int* errorCode, std::string* errorMsg) override;
  // The plan becomes the single chunk [0, contentLength) that chunkId (starting at 0) owns.
  bool coverWholeResource(int chunkId) override;
  // Stores the bytes at the chunk's current offset, then saves the progress (data synced first)
  // when it is due (see kSaveIntervalMs and kFinishedSaveIntervalMs). False with EXECUTE_ERROR,
  // storing nothing, without an open file, for an index outside the plan, or when the bytes would
  // run past the chunk; with the seek's report or errno/strerror when the file refuses them.
  // No allocation on success, except in a progress save.
  bool write(int chunkIndex, int size, unsigned char* data, int* errorCode,
             std::string* errorMsg) override;

  // The validator is kept in a file beside the progress file, so a resume in another process
  // judges its answers by it too.
  bool lengthConflicts(int64_t length) override;
  std::string validator() override;
  void setValidator(const std::string& validator) override;

  int64_t contentLength() override;
  int64_t downloadedLength() override;

  // Replaces the clock of the periodic saves (tests). Call before the download starts.
  void setClock(Clock clock);

 private:
  // Syncs the data file, then writes the progress file from snapshot. Takes saveMutex_ (skips
  // when another save runs) and briefly mutex_; called without either.
  void saveSnapshot(FILE* file, const std::vector<ChunkInfo>& snapshot, int64_t length)
      EXCLUDES(saveMutex_, mutex_);

  // Writes validator_ to its file unless it is there already; false when it could not be.
  bool saveValidatorLocked() REQUIRES(mutex_);
  // The room of setContentLength for a download of length bytes; false with the report.
  bool reserveRoomLocked(int64_t length, int* errorCode, std::string* errorMsg)
      REQUIRES(saveMutex_, mutex_);
  // Gives back the room kept for the side files' replacements.
  void dropReservationsLocked() REQUIRES(saveMutex_, mutex_);

  // Set at construction.
  const std::string fileKey_;
  const int64_t blockSize_;
  const std::shared_ptr<FileStorageManager> storage_;
  const std::string saveDir_;
  const std::atomic<bool>* const cancelled_;
  const bool writeOutBeforeDelivery_;

  // Atomic: written under mutex_, read by progress listeners on any thread.
  std::atomic<int64_t> downloadedLength_{0};
  std::atomic<int64_t> contentLength_{0};  // 0: not known yet

  // Lock order: saveMutex_, then mutex_. saveMutex_ is held for a whole progress save (sync and
  // write), which must not run while close or reset replace the files.
  Mutex saveMutex_ ACQUIRED_BEFORE(mutex_);
  // Taken by every operation; storage manager calls are made without it.
  Mutex mutex_;
  // Held by write around its positioned write to the data file, and nothing else, never with
  // another lock. The system takes one lock per file for every write anyway; a transfer that
  // waits here sleeps, where one that waits there spins (four transfers writing 1 GiB into one
  // file spent an eighth of the download's CPU time spinning on that lock).
  Mutex diskMutex_;
  // Guarded by saveMutex_: the room kept for the next progress save, in bytes (0: none), and the
  // length the data file's room was taken for on its current handle (0: none).
  size_t progressReserveBytes_ GUARDED_BY(saveMutex_) = 0;
  int64_t dataRoomLength_ GUARDED_BY(saveMutex_) = 0;
  // Guarded by mutex_.
  int64_t lastSaveTimeMs_ GUARDED_BY(mutex_) = 0;  // 0: no save by write yet in this download
  int64_t openedAtMs_ GUARDED_BY(mutex_) = 0;      // clock_ at the last successful open
  bool chunkFinished_ GUARDED_BY(mutex_) = false;  // a write since open finished its chunk
  Clock clock_ GUARDED_BY(mutex_);
  std::vector<ChunkInfo> chunks_ GUARDED_BY(mutex_);  // the plan, in offset order, chunkId = index
  std::string validator_ GUARDED_BY(mutex_);       // of the stored bytes; empty when none is known
  bool validatorSaved_ GUARDED_BY(mutex_) = true;  // validator_ is what its file holds
  FilePaths paths_ GUARDED_BY(mutex_);
  FileHandle file_ GUARDED_BY(mutex_);  // the data file; null while closed
  // Between openFile and closeFile / a successful delivery.
  bool keyOpen_ GUARDED_BY(mutex_) = false;
  // chunks_ describes the data file: close saves it.
  bool progressOwned_ GUARDED_BY(mutex_) = false;
};

}  // namespace zephyl
