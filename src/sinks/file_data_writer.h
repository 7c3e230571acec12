// FileDataWriter: the sink of OUTPUT_FILE downloads. Writes the resource over one connection into
// "<root>/temp/<fileKey>" and has the storage manager move it to its final place. A partial file
// is never resumed by another download; a complete one whose delivery failed is, by delivering.
// One chunk worker writes at a time (the plan is a single open-ended chunk); the other operations
// run on the task's thread while no chunk runs. contentLength and downloadedLength may be read
// from any thread.
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

class FileDataWriter : public DataWriter {
 public:
  // cancelled (may be null) ends open's wait for a key another writer holds; it must outlive the
  // writer. writeOutBeforeDelivery false delivers the file without waiting for its data to reach
  // the disk.
  FileDataWriter(std::shared_ptr<FileStorageManager> storage, std::string saveDir,
                 std::string fileKey, const std::atomic<bool>* cancelled = nullptr,
                 bool writeOutBeforeDelivery = true);
  // Closes a stream left open (close should have come first); never calls the storage manager.
  ~FileDataWriter() override;
  FileDataWriter(const FileDataWriter&) = delete;
  FileDataWriter& operator=(const FileDataWriter&) = delete;

  // Takes the key's temp path from the storage manager (waiting, cancellably, while another
  // writer holds the key). A complete download whose delivery failed is kept as it is; anything
  // else left there is deleted and the file created anew. False with fOpenFile's report when the
  // file cannot be created, or errorCode 0 when cancelled; close must still follow.
  bool open(int* errorCode, std::string* errorMsg) override;
  // Closes the file and releases the key (the storage manager deletes the file if a removal was
  // asked meanwhile). Nothing to do after a successful delivery.
  void close() override;
  // Closes the file (written out to the disk first, unless the writer was made without that) and
  // has the storage manager move it to request.savePath or saveDir/<fileKey>;
  // fills outputFilePath and fileLength (the announced length, or the bytes stored when none was
  // announced). False when the file could not be completed or moved, or a known length was not
  // stored completely; the response is then untouched. A complete file that could not be moved
  // stays, marked complete, for the next download of the key to deliver.
  bool moveToSaveDir(const ZPRequest& request, ZPResponse* response, int* errorCode,
                     std::string* errorMsg) override;
  // Deletes the file, creates it empty and starts again at byte 0 without a length or validator.
  void reset() override;
  // Reads from the file (opened for the call after a failed delivery closed it). False when it
  // cannot be read or is shorter.
  bool readStored(int64_t offset, void* buffer, size_t size) override;
  // Has the storage manager remove the temp file (at close, while the key is open).
  void discardStored() override;

  // The single chunk {0, 0, end, current}; end is -1 while no length is known.
  ChunkInfo firstChunk() override;
  // Always false: one connection fetches everything.
  bool nextChunk(int afterChunkId, ChunkInfo* chunk) override;
  // The single chunk, whatever the index.
  ChunkInfo chunkAt(int index) override;

  // The chunk ends at length; a negative length (not stated by the server) keeps it open-ended.
  // A stated length takes its room on the disk first (fs::reserveFileSpace). False with
  // CACHE_ERROR when another length (or none) was already stated: the stored bytes belong to
  // another resource then; false with the system's no-space code and noRoomMessage when the
  // storage disk cannot hold the file.
  bool setContentLength(int64_t length, int* errorCode, std::string* errorMsg) override;
  // Nothing to change: the single chunk already owns the whole resource. True.
  bool coverWholeResource(int chunkId) override;
  // Stores the bytes at the chunk's current offset (chunkIndex is ignored). False with
  // EXECUTE_ERROR when the file is not open or the bytes would run past a known end; with the
  // seek's report or errno/strerror when the file refuses them. No allocation on success.
  bool write(int chunkIndex, int size, unsigned char* data, int* errorCode,
             std::string* errorMsg) override;

  // The chunk's end: 0 before open, -1 while unknown.
  // Kept in memory for the attempts of this download only: a single-file download never resumes
  // in another task.
  bool lengthConflicts(int64_t length) override;
  std::string validator() override;
  void setValidator(const std::string& validator) override;

  int64_t contentLength() override;
  int64_t downloadedLength() override;

 private:
  ChunkInfo chunk() const;
  // Leaves a record beside the complete file (and its validator) for the next open.
  void markComplete(int64_t length);

  // Set at construction.
  const std::shared_ptr<FileStorageManager> storage_;
  const std::string saveDir_;
  const std::string fileKey_;
  const std::atomic<bool>* const cancelled_;
  const bool writeOutBeforeDelivery_;

  // Touched only by the task's thread, and by the one writing worker while no task operation
  // runs.
  FilePaths paths_;
  FileHandle file_;       // null while closed
  bool keyOpen_ = false;  // between openFile and closeFile / a successful delivery

  // Atomic: the single chunk's progress, read by progress listeners on any thread. Its start is
  // always 0.
  std::atomic<int64_t> end_{0};
  std::atomic<int64_t> current_{0};

  Mutex validatorMutex_;
  std::string validator_ GUARDED_BY(validatorMutex_);
};

}  // namespace zephyl
