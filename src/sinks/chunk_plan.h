// The chunk plan shared by the memory and chunked writers: splitting a resource into ranges of
// blockSize bytes, telling finished chunks from unfinished ones, and the bounds a write must
// respect. Free functions without state; the caller guards the vector it passes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/status.h"
#include "storage/chunk_info.h"

namespace zephyl {

constexpr int64_t kDefaultBlockSize = 2097152;

// Upper bound of a plan's length: chunk ids are 32-bit, and a lying length must not make the plan
// itself exhaust memory (2^22 chunks are 8 TiB with the default block size).
constexpr int64_t kMaxChunkCount = int64_t{1} << 22;

// blockSize when it is positive, else the default: a zero block would never advance the plan.
int64_t effectiveBlockSize(int64_t blockSize);

// The plan is made lazily: chunks of blockSize bytes (the last one shorter) are appended one at a
// time, as the download reaches them, so that a plan never costs memory in proportion to a length
// the server merely claims. True when covering contentLength would stay within kMaxChunkCount
// chunks. Requires: blockSize > 0.
[[nodiscard]] bool planFits(const std::vector<ChunkInfo>& chunks, int64_t contentLength,
                            int64_t blockSize);

// The first unfinished chunk after afterChunkId (-1: from the start) in plan order into *out.
// When every planned chunk is finished but the plan ends before a known (positive) contentLength,
// the next chunk of blockSize bytes is appended and returned. False when nothing is left.
[[nodiscard]] bool nextChunkOf(std::vector<ChunkInfo>& chunks, int64_t contentLength,
                               int64_t blockSize, int afterChunkId, ChunkInfo* out);

// Sets every chunkId to its index in chunks.
void renumberChunks(std::vector<ChunkInfo>& chunks);

// The offset a chunk's bytes may reach: its end, and never past a known (positive) content
// length, since the first chunk is planned before the length is known and may reach past it.
int64_t chunkLimit(const ChunkInfo& chunk, int64_t contentLength);

// Nothing is left to fetch for the chunk: current has reached chunkLimit.
bool isChunkFinished(const ChunkInfo& chunk, int64_t contentLength);

// True when every chunk of a known (positive) length is finished and the chunks cover
// [0, contentLength) without gaps: the download can be delivered.
bool isPlanComplete(const std::vector<ChunkInfo>& chunks, int64_t contentLength);

// End of the one chunk of a resource whose length the server did not state.
constexpr int64_t kOpenEnd = INT64_MAX;

// A server sends the whole body without stating its length: the plan becomes one chunk
// [0, kOpenEnd) that takes the body as it comes. Only a fresh plan (nothing stored) can: false,
// with chunks unchanged, otherwise.
[[nodiscard]] bool startOpenEndedPlan(std::vector<ChunkInfo>& chunks);

// The plan becomes the one chunk chunkId, [0, contentLength), keeping its bytes: the server sends
// the whole resource on that chunk's connection. False, with chunks unchanged, when the length is
// not known or the chunk does not start at byte 0. Returns the bytes the plan then holds.
[[nodiscard]] bool coverWholeResourceOf(std::vector<ChunkInfo>& chunks, int64_t contentLength,
                                        int chunkId, int64_t* stored);

// The chunk to fetch first: a new first chunk [0, blockSize) when the plan is empty, else the
// first unfinished chunk (planned now when needed, see nextChunkOf), or a default ChunkInfo when
// nothing is left.
ChunkInfo firstChunkOf(std::vector<ChunkInfo>& chunks, int64_t contentLength, int64_t blockSize);

// A copy of chunks[index], or a default ChunkInfo for an index outside the plan.
ChunkInfo chunkAtOf(const std::vector<ChunkInfo>& chunks, int index);

// "contentLength error: <new> <old>": the resource changed its length between two answers.
std::string contentLengthErrorMessage(int64_t newLength, int64_t oldLength);

// The disk that keeps the download cannot hold length bytes: cause's codes with the message
// "no room on the storage disk for <length> bytes: <cause's message>".
Status noRoomFailure(int64_t length, const Status& cause);

// Message of a setContentLength that is refused because the server did not state a length.
constexpr char kUnknownLengthMessage[] = "contentLength unknown";
// Message of a write refused because it would run past its chunk or its buffer.
constexpr char kWritePastEndMessage[] = "write past the end of the chunk";
// Message of a write with a negative size or without bytes.
constexpr char kBadWriteMessage[] = "invalid write";
// Message of a plan that would pass kMaxChunkCount chunks.
constexpr char kTooManyChunksMessage[] = "contentLength too large for the chunk plan";

}  // namespace zephyl
