#include "sinks/chunk_data_writer.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "diagnostics/utilities.h"
#include "sinks/chunk_plan.h"
#include "sinks/stream_write.h"
#include "sinks/validator_file.h"
#include "storage/atomic_file.h"
#include "storage/file_storage_manager.h"
#include "storage/fs.h"
#include "storage/progress_file.h"

namespace zephyl {
namespace {

// A plan this writer could have saved: contiguous from byte 0, every range ordered, nothing past
// a known length except the end of the last range (the first chunk is planned before the length
// is known and may reach past a short resource).
bool isConsistentPlan(const std::vector<ChunkInfo>& chunks, int64_t contentLength) {
  if (static_cast<int64_t>(chunks.size()) > kMaxChunkCount) return false;
  int64_t expectedStart = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const ChunkInfo& chunk = chunks[i];
    if (chunk.start != expectedStart || chunk.current < chunk.start || chunk.end < chunk.current) {
      return false;
    }
    if (contentLength > 0) {
      const bool last = i + 1 == chunks.size();
      if (chunk.start >= contentLength || chunk.current > contentLength) return false;
      if (!last && chunk.end > contentLength) return false;
    }
    expectedStart = chunk.end;
  }
  return true;
}

// Bytes of a progress file holding every record a plan of length bytes can need, within
// ChunkDataWriter::kMaxReservedRecords: a record per block, plus the records of a loaded plan
// whose chunks may be finer.
size_t progressBytesFor(int64_t length, int64_t blockSize, size_t plannedChunks) {
  const int64_t blocks = length / blockSize + 1 + static_cast<int64_t>(plannedChunks);
  const int64_t records = std::min(blocks, ChunkDataWriter::kMaxReservedRecords);
  return kProgressHeaderBytes + kProgressRecordBytes * static_cast<size_t>(records);
}

int64_t sumStored(const std::vector<ChunkInfo>& chunks) {
  int64_t sum = 0;
  for (const ChunkInfo& chunk : chunks) sum += chunk.current - chunk.start;
  return sum;
}

}  // namespace

ChunkDataWriter::ChunkDataWriter(std::string fileKey, std::shared_ptr<FileStorageManager> storage,
                                 std::string saveDir, int64_t blockSize,
                                 const std::atomic<bool>* cancelled, bool writeOutBeforeDelivery,
                                 int64_t progressSaveIntervalMs)
    : PlannedDataWriter(blockSize),
      fileKey_(std::move(fileKey)),
      storage_(std::move(storage)),
      saveDir_(std::move(saveDir)),
      cancelled_(cancelled),
      writeOutBeforeDelivery_(writeOutBeforeDelivery),
      progressSaveIntervalMs_(std::max<int64_t>(0, progressSaveIntervalMs)),
      clock_(nowMs) {}

ChunkDataWriter::~ChunkDataWriter() = default;

void ChunkDataWriter::setClock(Clock clock) {
  MutexLock lock(mutex_);
  clock_ = clock;
}

Status ChunkDataWriter::open() {
  bool needKey = false;
  {
    MutexLock lock(mutex_);
    needKey = !keyOpen_;
  }
  // A second try after a failed open keeps the key it already holds: one closeFile follows.
  // Taking the key waits while another writer (thread, manager or process) holds it.
  FilePaths paths;
  if (needKey) {
    Status taken = storage_->openFile(FileKind::Chunked, fileKey_, cancelled_, &paths);
    if (!taken.isOk()) return taken;
  }

  MutexLock saveLock(saveMutex_);
  MutexLock lock(mutex_);
  if (needKey) {
    paths_ = std::move(paths);
    keyOpen_ = true;
  }
  // Room is taken for each handle of the data file once its length is known.
  dataRoomLength_ = 0;
  if (file_) (void)flushAndClose(file_);
  progressOwned_ = false;

  StoredPlan stored = loadStoredPlanLocked();
  Status opened = openDataFileLocked(&stored);
  if (!opened.isOk()) {
    chunks_.clear();
    contentLength_ = 0;
    downloadedLength_ = 0;
    return opened;
  }
  // A range counts only as far as the data file reaches: a progress file may be newer than the
  // data it describes when the data file was cut short or replaced.
  for (ChunkInfo& chunk : stored.chunks) {
    chunk.current = std::max(chunk.start, std::min(chunk.current, stored.dataSize));
  }
  chunks_ = std::move(stored.chunks);
  renumberChunks(chunks_);
  contentLength_ = stored.length;
  downloadedLength_ = sumStored(chunks_);
  progressOwned_ = true;
  openedAtMs_ = clock_();
  chunkFinished_ = false;
  return Status::ok();
}

ChunkDataWriter::StoredPlan ChunkDataWriter::loadStoredPlanLocked() {
  StoredPlan stored;
  // A new download has no progress file: not opening it keeps the failed-open line quiet.
  if (!fs::exists(paths_.infoPath) ||
      !loadProgress(paths_.infoPath, stored.chunks, stored.length)) {
    stored.chunks.clear();
  }
  // Stored bytes are kept with the validator of their resource; a download stored without one
  // resumes as it always did. A validator file that cannot be read proves nothing: the bytes it
  // should vouch for are not trusted either.
  validator_.clear();
  if (!loadValidator(paths_.validatorPath, &validator_)) {
    validator_.clear();
    stored.chunks.clear();
  }
  validatorSaved_ = true;
  // Bytes are stored only once the length is known (an open-ended download saves -1): a record
  // without a length that claims bytes, or calls a range finished, is not this library's, and
  // believing it would deliver whatever the data file holds without asking the server.
  if (stored.length <= 0 || !isConsistentPlan(stored.chunks, stored.length)) {
    stored.chunks.clear();
    stored.length = 0;
  }
  stored.dataExists = fs::exists(paths_.dataPath);
  stored.dataSize = stored.dataExists ? fs::statFileLength(paths_.dataPath) : 0;
  // A data file longer than the resource is not the one the progress file describes.
  if (stored.length > 0 && stored.dataSize > stored.length) {
    stored.chunks.clear();
    stored.length = 0;
  }
  return stored;
}

Status ChunkDataWriter::openDataFileLocked(StoredPlan* stored) {
  // The data file is kept only for ranges that can be resumed; without any it is emptied, so
  // that bytes of an earlier, possibly different resource cannot outlive the new download.
  FILE* file = nullptr;
  if (!stored->chunks.empty() && stored->dataExists) file = fs::fOpenFile(paths_.dataPath, "rb+");
  Status status;
  if (file == nullptr) {
    file = fs::fOpenFile(paths_.dataPath, "wb+", &status);
    stored->dataSize = 0;
  }
  file_.reset(file);
  if (file_) makeUnbuffered(file_.get());
  return status;
}

void ChunkDataWriter::close() {
  FilePaths paths;
  bool releaseKey = false;
  {
    MutexLock saveLock(saveMutex_);
    MutexLock lock(mutex_);
    // Data first, on stable storage, then the record that claims it.
    if (file_ && !fs::syncFile(file_.get()).isOk()) progressOwned_ = false;
    if (file_ && !flushAndClose(file_).isOk()) progressOwned_ = false;
    if (progressOwned_ && saveValidatorLocked()) {
      (void)saveProgress(paths_.infoPath, chunks_, contentLength_.load());
    }
    dropReservationsLocked();
    progressOwned_ = false;
    chunks_.clear();
    releaseKey = keyOpen_;
    keyOpen_ = false;
    paths = paths_;
  }
  if (releaseKey) storage_->closeFile(FileKind::Chunked, paths);
}

Status ChunkDataWriter::moveToSaveDir(const ZPRequest& request, ZPResponse* response) {
  FilePaths paths;
  int64_t length = 0;
  {
    MutexLock lock(mutex_);
    // The file's data is written out before it is renamed into place (no progress save may have
    // synced it: a download that completes before one is due never writes a progress file), so
    // that a crash never leaves an empty or short file under the delivered name. Unless the host
    // does not need that: then only a failed move below waits for the data.
    if (file_) {
      Status closed = writeOutBeforeDelivery_ ? fs::writeOutFile(file_.get()) : Status::ok();
      if (closed.isOk()) closed = flushAndClose(file_);
      if (!closed.isOk()) {
        // Stored bytes may be missing: only the last saved progress file may be trusted now.
        progressOwned_ = false;
        return closed;
      }
    }
    length = contentLength_.load();
    if (length > 0 && !isPlanComplete(chunks_, length)) {
      return Status::error(ZPResponse::CACHE_ERROR,
                           "download incomplete: " + std::to_string(downloadedLength_.load()) +
                               " of " + std::to_string(length));
    }
    // Without a stated length the first chunk alone was fetched: its bytes are the resource.
    if (length <= 0) length = downloadedLength_.load();
    paths = paths_;
  }
  Status moved;
  const std::string finalPath = storage_->moveToSaveDir(paths, request, saveDir_, &moved);
  if (finalPath.empty()) {
    // close records the complete download for the next one to deliver: a record never claims
    // bytes that are not on the disk, so data not written out above is synced now.
    if (!writeOutBeforeDelivery_ && !syncFileAt(paths.dataPath)) {
      MutexLock lock(mutex_);
      progressOwned_ = false;
    }
    return moved;
  }
  {
    MutexLock lock(mutex_);
    // The storage manager released the key and deleted the progress file with the move.
    keyOpen_ = false;
    progressOwned_ = false;
  }
  response->outputFilePath = finalPath;
  response->fileLength = length;
  return Status::ok();
}

void ChunkDataWriter::reset() {
  MutexLock saveLock(saveMutex_);
  MutexLock lock(mutex_);
  if (file_) (void)flushAndClose(file_);
  validator_.clear();
  validatorSaved_ = true;  // its file goes below
  lastSaveTimeMs_ = 0;
  // Taken again for the new data file once its length is known.
  dropReservationsLocked();
  dataRoomLength_ = 0;
  if (!paths_.dataPath.empty()) {
    // The record goes first: a record left behind by a failure must never outlive its data.
    if (fs::exists(paths_.infoPath)) fs::removeFile(paths_.infoPath);
    if (fs::exists(paths_.validatorPath)) fs::removeFile(paths_.validatorPath);
    if (fs::exists(paths_.dataPath)) fs::removeFile(paths_.dataPath);
    // A failure here leaves the writer closed; the next write reports it.
    file_.reset(fs::fOpenFile(paths_.dataPath, "wb+"));
    if (file_) makeUnbuffered(file_.get());
  }
  chunks_.clear();
  downloadedLength_ = 0;
  contentLength_ = 0;
  progressOwned_ = file_ != nullptr;
}

bool ChunkDataWriter::readStored(int64_t offset, void* buffer, size_t size) {
  MutexLock lock(mutex_);
  if (file_) return readAt(file_.get(), offset, buffer, size);
  // A failed delivery closed the stream; the data file is still the key's.
  FileHandle file(fs::fOpenFile(paths_.dataPath, "rb"));
  return file && readAt(file.get(), offset, buffer, size);
}

void ChunkDataWriter::discardStored() {
  {
    MutexLock saveLock(saveMutex_);
    MutexLock lock(mutex_);
    // close must not record the bytes as a resumable download.
    progressOwned_ = false;
  }
  // The key is open here: the storage manager deletes the files when close hands them back.
  storage_->removeCacheFile(fileKey_);
}

bool ChunkDataWriter::lengthConflicts(int64_t length) {
  MutexLock lock(mutex_);
  const int64_t known = contentLength_.load();
  // An open-ended download cannot be continued: nothing tells whether the rest is the same.
  if (length < 0) return known > 0 || (known < 0 && downloadedLength_.load() > 0);
  return known != 0 && known != length;
}

std::string ChunkDataWriter::validator() {
  MutexLock lock(mutex_);
  return validator_;
}

void ChunkDataWriter::setValidator(const std::string& validator) {
  MutexLock lock(mutex_);
  if (validator == validator_) return;
  // Written with the next progress record, before it: a download that completes before any
  // record is due never writes one.
  validator_ = validator;
  validatorSaved_ = false;
}

bool ChunkDataWriter::saveValidatorLocked() {
  if (validatorSaved_) return true;
  // A record on disk always belongs to the validator beside it: should the validator not be
  // written, no record is either, and a resume finds the last record with its own validator.
  if (!saveValidator(paths_.validatorPath, validator_)) return false;
  validatorSaved_ = true;
  return true;
}

Status ChunkDataWriter::setContentLength(int64_t length) {
  // The room is taken on the files that saves, close and reset replace.
  MutexLock saveLock(saveMutex_);
  MutexLock lock(mutex_);
  if (length < 0) {
    // The body comes over one connection until it ends. Stored ranges of a known length cannot
    // be continued that way: refused, so that the download starts over.
    if (contentLength_.load() > 0 || !startOpenEndedPlan(chunks_)) {
      return Status::error(ZPResponse::CACHE_ERROR, kUnknownLengthMessage);
    }
    contentLength_ = -1;
    return Status::ok();
  }
  Status allowed = checkKnownLengthLocked(length, false);
  if (!allowed.isOk()) return allowed;
  Status reserved = reserveRoomLocked(length);
  if (!reserved.isOk()) return reserved;
  contentLength_ = length;
  return Status::ok();
}

Status ChunkDataWriter::reserveRoomLocked(int64_t length) {
  if (!file_ || length <= 0) return Status::ok();
  // The data first: a disk that cannot hold the download fails it before its first byte, and
  // its bytes cannot later take the room of the records that claim them.
  Status held =
      dataRoomLength_ >= length ? Status::ok() : fs::reserveFileSpace(file_.get(), length);
  if (held.isOk()) dataRoomLength_ = length;
  // A download of one block at most keeps no replacements ready: a full disk costs it that block
  // at most, less than two more files to write and remove cost every small download.
  if (held.isOk() && length <= blockSize_) return held;
  const size_t progressBytes = progressBytesFor(length, blockSize_, chunks_.size());
  if (held.isOk() && progressReserveBytes_ < progressBytes) {
    held = reserveReplacement(paths_.infoPath, progressBytes);
    if (held.isOk()) progressReserveBytes_ = progressBytes;
  }
  // The validator of the first answer is written with the first record.
  if (held.isOk() && (validator_.empty() || !validatorSaved_)) {
    held = reserveReplacement(paths_.validatorPath, kMaxValidatorBytes);
  }
  if (held.isOk()) return held;
  return noRoomFailure(length, held);
}

void ChunkDataWriter::dropReservationsLocked() {
  if (paths_.infoPath.empty()) return;
  dropReservedReplacement(paths_.infoPath);
  dropReservedReplacement(paths_.validatorPath);
  progressReserveBytes_ = 0;
}

Status ChunkDataWriter::write(int chunkId, int size, unsigned char* data) {
  if (size < 0 || (size > 0 && data == nullptr)) {
    return Status::error(ZPResponse::EXECUTE_ERROR, kBadWriteMessage);
  }
  FILE* file = nullptr;
  int64_t offset = 0;
  {
    MutexLock lock(mutex_);
    if (!file_ || !isPlannedLocked(chunkId)) {
      return Status::error(ZPResponse::EXECUTE_ERROR, {});
    }
    const ChunkInfo& chunk = chunks_[static_cast<size_t>(chunkId)];
    if (size > chunkLimit(chunk, contentLength_.load()) - chunk.current) {
      return Status::error(ZPResponse::EXECUTE_ERROR, kWritePastEndMessage);
    }
    if (size == 0) return Status::ok();
    file = file_.get();
    offset = chunk.current;
  }
  // The bytes go to disk outside the lock: only this chunk's one transfer writes at its offset,
  // and the stream stays open while chunks run (close and reset come after them). The plan
  // claims the bytes only once they are written, so a progress save never gets ahead of them.
  {
    MutexLock diskLock(diskMutex_);
    Status written = writeAt(file, offset, data, size);
    if (!written.isOk()) return written;
  }
  const WrittenFollowUp followUp = recordWritten(chunkId, size);
  // A finished chunk is never written again: its bytes start for the disk now, while the others
  // still arrive, so that the sync of the next progress save or of the delivery finds them
  // written (256 MiB took a tenth of a second to sync at delivery when it all waited for it).
  if (followUp.finishedEnd > followUp.finishedStart) {
    fs::startWriteback(file, followUp.finishedStart, followUp.finishedEnd - followUp.finishedStart);
  }
  if (!followUp.snapshot.empty()) saveSnapshot(file, followUp.snapshot, followUp.length);
  return Status::ok();
}

ChunkDataWriter::WrittenFollowUp ChunkDataWriter::recordWritten(int chunkId, int size) {
  WrittenFollowUp followUp;
  MutexLock lock(mutex_);
  ChunkInfo& chunk = chunks_[static_cast<size_t>(chunkId)];
  chunk.current += size;
  downloadedLength_.fetch_add(size);
  // A complete download is delivered next, or kept by close when delivery fails: a record of
  // it now would only cost syncs and renames.
  if (isPlanComplete(chunks_, contentLength_.load())) return followUp;
  const int64_t now = clock_();
  const int64_t sinceSave = now - lastSaveTimeMs_;
  const bool finished = isChunkFinished(chunk, contentLength_.load());
  if (finished) {
    chunkFinished_ = true;
    followUp.finishedStart = chunk.start;
    followUp.finishedEnd = chunk.current;
  }
  // The first save waits for a finished chunk a second after open; it comes with whichever
  // write follows then, so that a chunk finished early is not left unsaved by the ones still
  // running.
  const bool byBlocks = lastSaveTimeMs_ == 0
                            ? chunkFinished_ && now - openedAtMs_ >= kFinishedSaveIntervalMs
                        : finished ? sinceSave >= kFinishedSaveIntervalMs
                                   : sinceSave > kSaveIntervalMs;
  // On a slow link a block may take minutes: bytes that arrive are recorded by time as well, so
  // that a process killed at any moment loses at most the last interval's bytes.
  const bool byTime = progressSaveIntervalMs_ > 0 &&
                      now - (lastSaveTimeMs_ == 0 ? openedAtMs_ : lastSaveTimeMs_) >=
                          progressSaveIntervalMs_;
  const bool due = byBlocks || byTime;
  if (due) {
    lastSaveTimeMs_ = now;
    followUp.snapshot = chunks_;
    followUp.length = contentLength_.load();
  }
  return followUp;
}

void ChunkDataWriter::saveSnapshot(FILE* file, const std::vector<ChunkInfo>& snapshot,
                                   int64_t length) {
  // One save at a time; a save that finds another running is skipped, since the next one (at
  // the latest the one of close) records at least as much.
  if (!saveMutex_.tryLock()) return;
  MutexLock saveLock(saveMutex_, kAdoptLock);
  // The snapshot claims only bytes written before it was taken. They reach stable storage
  // before the record that claims them, so that neither a crash nor a power loss leaves a record
  // ahead of its data. Syncing outside the writer's lock lets the other chunks go on writing.
  if (!fs::syncFile(file).isOk()) return;
  // A failed save is not the download's failure: the previous record stays the proof on disk.
  std::string infoPath;
  {
    MutexLock lock(mutex_);
    if (!progressOwned_ || !saveValidatorLocked()) return;
    infoPath = paths_.infoPath;
  }
  if (!saveProgress(infoPath, snapshot, length) || progressReserveBytes_ == 0) return;
  // The save used up the room kept for it; the next one gets its own, right away, before the
  // disk can fill further. Without it a later save may fail on a full disk, nothing more.
  if (!reserveReplacement(infoPath, progressReserveBytes_).isOk()) progressReserveBytes_ = 0;
}

}  // namespace zephyl
