// DataWriter: the sink of one download. It owns the chunk plan (which byte ranges to fetch),
// receives the bytes of every chunk, reports progress, and delivers the finished result into the
// response. write, setContentLength, setValidator, chunkAt and nextChunk may run on several chunk
// worker threads at once; open, close, reset, moveToSaveDir and firstChunk run while no other
// chunk is running (on the task's thread, or on the worker of the one chunk of an attempt that
// runs before the others start). The task calls close before it destroys the writer.
// This header is the contract of every sink; a sink's own header says only how it differs or
// what it adds. Operations that can fail return a Status whose code is what the host finally sees
// (a ZPResponse code, or the file-system layer's system code) and whose message goes with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/status.h"
#include "storage/chunk_info.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

class DataWriter {
 public:
  virtual ~DataWriter() = default;

  // Prepares the sink. A failure says why it cannot be used (code 0 when open was cancelled while
  // another writer held the download); close must still follow.
  [[nodiscard]] virtual Status open() = 0;
  // End of the download: releases files and hands stored data back to the storage manager.
  virtual void close() = 0;
  // Delivers a finished download into response (file path or shared buffer, and length). Fails
  // with CACHE_ERROR (STREAM_ERROR for a stream) when a known length was not stored completely,
  // or with the storage's report when the move fails; the response is then untouched and what is
  // stored stays for close.
  [[nodiscard]] virtual Status moveToSaveDir(const ZPRequest& request, ZPResponse* response) = 0;
  // Throws away everything received, the length and the validator; the next attempt starts from
  // nothing. Only for stored bytes proven wrong (another length or validator, a server that
  // ignores ranges on a resume, a resource that shrank): a failed write or delivery keeps them.
  virtual void reset() = 0;
  // Reads size bytes of the stored content at offset into buffer (for the content's digests
  // before delivery). On the task's thread while no chunk runs. False when they cannot be read.
  [[nodiscard]] virtual bool readStored(int64_t offset, void* buffer, size_t size) = 0;
  // Drops the stored download for good (content that failed its check): nothing of it is kept
  // for a later download, its files go at close at the latest. On the task's thread while no
  // chunk runs; no delivery follows.
  virtual void discardStored() = 0;

  // The chunk to request first; a default ChunkInfo when everything is stored already.
  virtual ChunkInfo firstChunk() = 0;
  // The first unfinished chunk after afterChunkId (-1: from the start) into *chunk, planned as it
  // is reached, so that the plan grows with the work done. False when no chunk is left or the
  // length is not known.
  [[nodiscard]] virtual bool nextChunk(int afterChunkId, ChunkInfo* chunk) = 0;
  // A copy of the chunk chunkId of the plan (its index in the plan).
  virtual ChunkInfo chunkAt(int chunkId) = 0;

  // True when the stored bytes belong to a resource of another length than length (negative: not
  // stated): an answer of that length is another resource, and setContentLength refuses it.
  virtual bool lengthConflicts(int64_t length) = 0;
  // The total length of the resource became known (negative: the server states none). Fails with
  // CACHE_ERROR when another length is known already ("contentLength error: <new> <old>"), when
  // the sink cannot take an unknown length (kUnknownLengthMessage), or when the length needs too
  // many chunks (kTooManyChunksMessage); a sink that keeps the bytes may also fail for want of
  // room (see noRoomFailure). Nothing changes on failure.
  [[nodiscard]] virtual Status setContentLength(int64_t length) = 0;
  // The server ignores ranges and sends the whole resource on the connection of chunkId, which
  // must start at byte 0: from now on that chunk alone owns every byte up to contentLength() and
  // no other chunk is planned. Called after setContentLength. False when the plan cannot take it.
  [[nodiscard]] virtual bool coverWholeResource(int chunkId) = 0;
  // Stores size bytes that belong at the chunk's current offset. Fails, storing nothing, with
  // EXECUTE_ERROR for a negative size or missing bytes (kBadWriteMessage), before the sink can
  // take bytes or for an index outside the plan (no message), and for bytes that would run past
  // the chunk (kWritePastEndMessage); a sink that writes a file fails with the system's report
  // when the file refuses them. No allocation on success.
  [[nodiscard]] virtual Status write(int chunkId, int size, unsigned char* data) = 0;

  // The validator (a strong ETag, or a Last-Modified date) of the resource whose bytes are stored;
  // empty when none is known. Every answer whose bytes join the stored ones must carry it.
  virtual std::string validator() = 0;
  // Keeps validator with the stored bytes from now on (also across a resume, where the sink can
  // resume). Called for a download's first answer and for stored bytes kept without one.
  virtual void setValidator(const std::string& validator) = 0;

  virtual int64_t contentLength() = 0;
  virtual int64_t downloadedLength() = 0;

  // Sinks that hand bytes on while the download runs (a stream) answer differently from the
  // stores above; the defaults are those of a store.
  // True for a stream: every piece of an answer goes to write at once (no batching), and no
  // transfer leaves the rest of its run to another, so the byte the sink waits for is always
  // being fetched while later bytes wait in its bounded reorder buffer.
  virtual bool streams() const { return false; }
  // False once bytes have left the sink for good: stored bytes proven wrong cannot be dropped
  // and fetched again, and the download must fail instead of calling reset.
  virtual bool canStartOver() { return true; }
  // True when the receiver of the bytes stopped the download (the task then ends cancelled).
  virtual bool stoppedByReceiver() { return false; }
  // While interrupted, a write waiting for room returns false at once. The planner interrupts
  // when it stops an attempt's transfers and clears it when the next attempt starts. Any thread.
  virtual void setWaitsInterrupted(bool /*interrupted*/) {}
};

}  // namespace zephyl
