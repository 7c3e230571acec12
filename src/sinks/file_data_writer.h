// FileDataWriter: the sink of OUTPUT_FILE downloads. Writes the resource over one connection into
// "<root>/temp/<fileKey>" and has the storage manager move it to its final place. A partial file
// is never resumed by another download; a complete one whose delivery failed is, by delivering.
// One chunk worker writes at a time (the plan is a single open-ended chunk); the other operations
// run on the task's thread while no chunk runs. contentLength and downloadedLength may be read
// from any thread.
// The DataWriter contract is in data_writer.h; the notes below say only what this sink adds.
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
  // The stored bytes start for the disk (fs::startWriteback) each time this many more have been
  // written, while the rest still arrives: the write-out before delivery then waits only for the
  // last of them, not for the whole file.
  static constexpr int64_t kWritebackSpanBytes = 2 * 1024 * 1024;

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

  // Takes the key's temp path from the storage manager. A complete download whose delivery
  // failed is kept as it is; anything else left there is deleted and the file created anew.
  Status open() override;
  void close() override;  // nothing is left to do after a delivery
  // Writes the file out first (unless made without that). A complete file that could not be
  // moved stays, marked complete, for the next download of the key to deliver.
  Status moveToSaveDir(const ZPRequest& request, ZPResponse* response) override;
  void reset() override;
  bool readStored(int64_t offset, void* buffer, size_t size) override;
  void discardStored() override;
  // The plan is one chunk {0, 0, end, current}, end -1 while no length is known: nextChunk is
  // always false, chunkAt ignores the index, coverWholeResource has nothing to change, and
  // write ignores chunkId.
  ChunkInfo firstChunk() override;
  bool nextChunk(int afterChunkId, ChunkInfo* chunk) override;
  ChunkInfo chunkAt(int chunkId) override;
  bool coverWholeResource(int chunkId) override;
  Status write(int chunkId, int size, unsigned char* data) override;
  // A stated length takes its room on the disk first (fs::reserveFileSpace); another length (or
  // none) after one was stated is refused.
  bool lengthConflicts(int64_t length) override;
  Status setContentLength(int64_t length) override;
  // Kept in memory for the attempts of this download only: a single-file download never resumes
  // in another task.
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
  // Where the bytes whose write-back write has not started yet begin.
  int64_t writebackFrom_ = 0;

  // Atomic: the single chunk's progress, read by progress listeners on any thread. Its start is
  // always 0.
  std::atomic<int64_t> end_{0};
  std::atomic<int64_t> current_{0};

  Mutex validatorMutex_;
  std::string validator_ GUARDED_BY(validatorMutex_);
};

}  // namespace zephyl
