// StreamDataWriter: the sink of OUTPUT_STREAM downloads. Hands the resource's bytes to a receiver
// in order, from byte 0, as they arrive, and keeps nothing once handed over (no file, no buffer
// of the whole resource). Bytes that arrive ahead of the next byte to hand over (from a parallel
// transfer further on) wait in a reorder buffer of bounded size; a write that would overfill it
// waits until the bytes before it are handed over, the task is cancelled or the planner stops the
// attempt. Thread-safe: write and the plan operations may run on several chunk workers at once
// (one mutex); the receiver runs on the worker that holds the turn, never two at once, and never
// with the mutex held. The DataWriter contract is in data_writer.h; the notes below say only what
// this sink adds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "sinks/planned_data_writer.h"

namespace zephyl {

class StreamDataWriter : public PlannedDataWriter {
 public:
  // Takes the next bytes in order; false stops the download (a throw counts as false).
  using Receiver = std::function<bool(const char* data, size_t size)>;
  // Told once, on the worker that called the receiver, when the receiver stopped the download:
  // the engine ends every transfer of it then. Must not throw.
  using StopListener = std::function<void()>;

  // At most this many bytes wait ahead of the next byte to hand over: eight blocks of the default
  // size, enough for every transfer of a split download to keep going while the one in front
  // catches up, and a fixed bound whatever the server sends.
  static constexpr int64_t kDefaultReorderLimitBytes = int64_t{16} << 20;
  // A write waiting for room gives up after this long without any byte handed over: the byte in
  // front is then not being fetched at all, and the attempt ends (the next one resumes at it).
  static constexpr int64_t kMaxRoomWaitMs = 60000;

  // blockSize <= 0 plans with the default block size. cancelled (the task's flag, may be null)
  // ends a wait for room. reorderLimitBytes bounds the reorder buffer (a single write larger than
  // the bound is still taken when the buffer is empty). startOffset > 0: the stream begins at that
  // byte; the plan counts the bytes before it as handed over, so none of them is fetched, and the
  // download cannot start over from byte 0. onStopped (may be empty): see StopListener.
  StreamDataWriter(Receiver receiver, int64_t blockSize, const std::atomic<bool>* cancelled,
                   int64_t reorderLimitBytes = kDefaultReorderLimitBytes,
                   int64_t startOffset = 0, StopListener onStopped = nullptr);
  ~StreamDataWriter() override;
  StreamDataWriter(const StreamDataWriter&) = delete;
  StreamDataWriter& operator=(const StreamDataWriter&) = delete;

  // DataWriter (the plan operations are PlannedDataWriter's).
  Status open() override;  // STREAM_ERROR without a receiver
  void close() override;
  // Only sets the response's fileLength to the bytes handed over.
  Status moveToSaveDir(const ZPRequest& request, ZPResponse* response) override;
  // Forgets the plan (back to its start offset), the waiting bytes, the length and the
  // validator; only while nothing was handed over (see canStartOver).
  void reset() override;
  // Nothing is kept: readStored is false and discardStored does nothing. A stream's digests
  // follow its bytes in order as they are handed over, so nothing needs reading back.
  bool readStored(int64_t offset, void* buffer, size_t size) override;
  void discardStored() override;
  bool lengthConflicts(int64_t length) override;
  // MemoryDataWriter's, without a buffer.
  Status setContentLength(int64_t length) override;
  // Hands the bytes over when they are next in order (then also every waiting byte that follows
  // them), else keeps a copy in the reorder buffer. Fails with STREAM_STOPPED once the receiver
  // stopped the download and with DATA_WRITE_ERROR when a wait for room was cut short.
  Status write(int chunkId, int size, unsigned char* data) override;
  std::string validator() override;
  void setValidator(const std::string& validator) override;

  bool streams() const override { return true; }
  // True while no byte has been handed over and the stream starts at byte 0.
  bool canStartOver() override;
  bool stoppedByReceiver() override;
  void setWaitsInterrupted(bool interrupted) override;

  // The most bytes the reorder buffer ever held; for tests of the bound.
  int64_t reorderHighWaterBytes();

 private:
  enum class Admission { kRefused, kBuffered, kTurn };
  // Requires: mutex_ held. Checks the write against the plan and waits until it is the write's
  // turn (its bytes are next and nobody hands over) or the reorder buffer has room for it; then
  // takes the bytes (kTurn: the caller hands them over; kBuffered: copied into the buffer).
  // The refusal's report goes into *refusal.
  Admission admit(int chunkId, int size, const unsigned char* data, Status* refusal)
      REQUIRES(mutex_);
  // Requires: the turn (handing_ set by admit). Hands data over, then every waiting byte that
  // follows it, and gives the turn back. STREAM_STOPPED when the receiver stopped the download.
  Status handOver(const char* data, size_t size) EXCLUDES(mutex_);
  bool callReceiver(const char* data, size_t size);
  // Requires: mutex_ held. The plan of a stream that has handed nothing over: empty, or from a
  // start offset a finished chunk of the bytes before it and the first block after it.
  void startPlan() REQUIRES(mutex_);

  // Set at construction.
  const Receiver receiver_;
  const std::atomic<bool>* const cancelled_;
  const int64_t reorderLimitBytes_;
  const int64_t startOffset_;
  const StopListener onStopped_;

  // downloadedLength_ counts the bytes handed over and those waiting in the buffer.
  ConditionVariable changed_;  // with mutex_: the turn passed, room was made, or a stop
  // Guarded by mutex_ (PlannedDataWriter's).
  std::string validator_ GUARDED_BY(mutex_);
  bool lengthSet_ GUARDED_BY(mutex_) = false;  // a length (0 included) was accepted
  // Bytes [0, handedUpTo_) are handed over or being handed over by the thread holding the turn.
  int64_t handedUpTo_ GUARDED_BY(mutex_) = 0;
  bool handing_ GUARDED_BY(mutex_) = false;                          // a worker holds the turn
  std::map<int64_t, std::vector<char>> waiting_ GUARDED_BY(mutex_);  // by offset, past handedUpTo_
  int64_t waitingBytes_ GUARDED_BY(mutex_) = 0;
  int64_t highWaterBytes_ GUARDED_BY(mutex_) = 0;
  bool stopped_ GUARDED_BY(mutex_) = false;  // the receiver returned false
  bool interrupted_ GUARDED_BY(mutex_) = false;
};

}  // namespace zephyl
