// ChunkDataWriter: the default, resumable sink. Every chunk is written at its own offset of one
// data file in the cache directory, and a ".info" progress file beside it records which ranges
// are stored, so that an interrupted download continues where it stopped. Thread-safe: write,
// setContentLength, coverWholeResource, chunkAt and unfinishedChunks run on several chunk workers
// at once (one mutex); open, close, reset, moveToSaveDir and firstChunk run on the task's thread
// while no chunk runs; contentLength and downloadedLength may be read from any thread.
// The DataWriter contract is in data_writer.h; the notes below say only what this sink adds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "sinks/planned_data_writer.h"
#include "storage/file_handle.h"
#include "storage/file_paths.h"

namespace zephyl {

class FileStorageManager;

class ChunkDataWriter : public PlannedDataWriter {
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
  // delivers the file without waiting for its data to reach the disk. progressSaveIntervalMs > 0:
  // a write also saves the progress once that long has passed since the last save (or since
  // open), finished chunk or not; 0 or less: the rules of finished chunks above alone.
  ChunkDataWriter(std::string fileKey, std::shared_ptr<FileStorageManager> storage,
                  std::string saveDir, int64_t blockSize,
                  const std::atomic<bool>* cancelled = nullptr, bool writeOutBeforeDelivery = true,
                  int64_t progressSaveIntervalMs = 0);
  // Closes a stream left open (close should have come first); never calls the storage manager.
  ~ChunkDataWriter() override;
  ChunkDataWriter(const ChunkDataWriter&) = delete;
  ChunkDataWriter& operator=(const ChunkDataWriter&) = delete;

  // Takes the key's paths from the storage manager (an interrupted download's files when the
  // cache holds them), loads the progress file and opens the data file without truncating it.
  // Only what the two files prove is kept: ranges are clamped to the data file's size, and a
  // progress file that is unreadable, short, or inconsistent is ignored (a short one keeps the
  // content length it stated); with no range left the data file is emptied.
  Status open() override;
  // Saves the progress, closes the data file and hands both files back to the storage manager,
  // which caches them for a later resumption (or deletes them when a removal was asked).
  void close() override;
  // Writes the data file out first (unless made without that); the progress file is deleted.
  Status moveToSaveDir(const ZPRequest& request, ZPResponse* response) override;
  // Deletes the progress, validator and data files and recreates an empty data file.
  void reset() override;
  // Opens the data file for the call after a failed delivery closed it.
  bool readStored(int64_t offset, void* buffer, size_t size) override;
  // The storage manager removes the files (now, or at close while the key is open).
  void discardStored() override;
  bool lengthConflicts(int64_t length) override;
  // Keeps room on the disk: the data file's length bytes (fs::reserveFileSpace) and the
  // replacements of the progress and validator files, so that a disk filling meanwhile still
  // lets close record what was stored.
  Status setContentLength(int64_t length) override;
  // Saves the progress (data synced first) when it is due (see kSaveIntervalMs,
  // kFinishedSaveIntervalMs and the constructor's progressSaveIntervalMs); only a progress save
  // allocates.
  Status write(int chunkId, int size, unsigned char* data) override;
  // Kept in a file beside the progress file: a resume in another process judges by it too.
  std::string validator() override;
  void setValidator(const std::string& validator) override;

  // Replaces the clock of the periodic saves (tests). Call before the download starts.
  void setClock(Clock clock);

 private:
  // Syncs the data file, then writes the progress file from snapshot. Takes saveMutex_ (skips
  // when another save runs) and briefly mutex_; called without either.
  void saveSnapshot(FILE* file, const std::vector<ChunkInfo>& snapshot, int64_t length)
      EXCLUDES(saveMutex_, mutex_);

  // Writes validator_ to its file unless it is there already; false when it could not be.
  bool saveValidatorLocked() REQUIRES(mutex_);
  // The room of setContentLength for a download of length bytes; the report when it is missing.
  Status reserveRoomLocked(int64_t length) REQUIRES(saveMutex_, mutex_);

  // What open found on the disk for the key: the plan and length the progress file proves, and
  // the data file.
  struct StoredPlan {
    std::vector<ChunkInfo> chunks;
    int64_t length = 0;
    bool dataExists = false;
    int64_t dataSize = 0;
  };
  // Loads the progress and validator files and keeps of them what the data file backs.
  StoredPlan loadStoredPlanLocked() REQUIRES(mutex_);
  // Opens the data file into file_: kept for a plan that can be resumed, else emptied (then
  // stored->dataSize becomes 0). fOpenFile's report on failure.
  Status openDataFileLocked(StoredPlan* stored) REQUIRES(mutex_);

  // What a stored write leaves to do outside the lock: a finished chunk's range to start writing
  // back (empty when none) and a progress snapshot to save (empty when none is due).
  struct WrittenFollowUp {
    int64_t finishedStart = 0;
    int64_t finishedEnd = 0;
    std::vector<ChunkInfo> snapshot;
    int64_t length = 0;
  };
  // Claims size written bytes for the chunk at chunkId and decides the follow-up. Takes mutex_.
  WrittenFollowUp recordWritten(int chunkId, int size) EXCLUDES(mutex_);
  // Gives back the room kept for the side files' replacements.
  void dropReservationsLocked() REQUIRES(saveMutex_, mutex_);

  // Set at construction.
  const std::string fileKey_;
  const std::shared_ptr<FileStorageManager> storage_;
  const std::string saveDir_;
  const std::atomic<bool>* const cancelled_;
  const bool writeOutBeforeDelivery_;
  const int64_t progressSaveIntervalMs_;

  // Lock order: saveMutex_, then mutex_. saveMutex_ is held for a whole progress save (sync and
  // write), which must not run while close or reset replace the files.
  // mutex_ (PlannedDataWriter's) is taken by every operation; storage manager calls are made
  // without it.
  Mutex saveMutex_ ACQUIRED_BEFORE(mutex_);
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
