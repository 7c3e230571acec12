// The ".info" progress file of a chunked download: which ranges of the resource are stored.
// Layout, little-endian, no gaps: int32 version (1), int64 content length, int32 record count N,
// then N records of int64 start, int64 current, int64 end; exactly 16 + 24 N bytes. A save
// replaces the file atomically through "<path>.tmp", which a load never reads.
// The functions keep no state; callers serialise work on one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/chunk_info.h"

namespace zephyl {

constexpr size_t kProgressHeaderBytes = 16;  // version, content length, record count
constexpr size_t kProgressRecordBytes = 24;  // start, current, end

// Writes the file anew from chunks after folding every finished chunk into the chunk that
// follows it directly: the new record goes to "<path>.tmp", onto stable storage, and is renamed
// over path. True when the new record is in place; on false path still holds the previous record
// (or nothing, as before) and no temporary file stays. The data the record claims must be on
// stable storage before the call.
[[nodiscard]] bool saveProgress(const std::string& path, const std::vector<ChunkInfo>& chunks,
                                int64_t contentLength);

// Appends the stored ranges to chunks (chunkId 0) and stores the content length. False for a
// missing or unreadable file and for a file that ends early; records read before the end stay.
[[nodiscard]] bool loadProgress(const std::string& path, std::vector<ChunkInfo>& chunks,
                                int64_t& contentLength);

}  // namespace zephyl
