// DataWriter: the sink of one download. It owns the chunk plan (which byte ranges to fetch),
// receives the bytes of every chunk, reports progress, and delivers the finished result into the
// response. write, setContentLength, chunkAt and unfinishedChunks may run on several chunk worker
// threads at once; open, close, reset, moveToSaveDir and firstChunk run on the task's thread
// while no chunk is running. The task calls close before it destroys the writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sinks/chunk_info.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

class DataWriter {
 public:
  virtual ~DataWriter() = default;

  // Prepares the sink. False when it cannot be used; the out-parameters then hold the cause.
  [[nodiscard]] virtual bool open(int* errorCode, std::string* errorMsg) = 0;
  // End of the download: releases files and hands stored data back to the storage manager.
  virtual void close() = 0;
  // Delivers a finished download into response (file path or shared buffer, and length).
  [[nodiscard]] virtual bool moveToSaveDir(const ZPRequest& request, ZPResponse* response,
                                           int* errorCode, std::string* errorMsg) = 0;
  // Throws away everything received; the next attempt starts from nothing.
  virtual void reset() = 0;

  // The chunk to request first; a default ChunkInfo when everything is stored already.
  virtual ChunkInfo firstChunk() = 0;
  // The chunks still to request once the length is known, except excludeChunkId.
  virtual std::vector<ChunkInfo> unfinishedChunks(int excludeChunkId) = 0;
  // A copy of the chunk at index of the plan.
  virtual ChunkInfo chunkAt(int index) = 0;

  // The total length of the resource became known. False when the sink cannot take it.
  [[nodiscard]] virtual bool setContentLength(int64_t length, int* errorCode,
                                              std::string* errorMsg) = 0;
  // The server ignores ranges and sends the whole resource on the connection of chunkId, which
  // must start at byte 0: from now on that chunk alone owns every byte up to contentLength() and
  // no other chunk is planned. Called after setContentLength. False when the plan cannot take it.
  [[nodiscard]] virtual bool coverWholeResource(int chunkId) = 0;
  // Stores size bytes that belong at the chunk's current offset. False when they were not stored.
  [[nodiscard]] virtual bool write(int chunkIndex, int size, unsigned char* data, int* errorCode,
                                   std::string* errorMsg) = 0;

  virtual int64_t contentLength() = 0;
  virtual int64_t downloadedLength() = 0;
};

}  // namespace zephyl
