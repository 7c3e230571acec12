// One byte range of a download, as planned and tracked by a writer.
#pragma once

#include <cstdint>

namespace zephyl {

struct ChunkInfo {
  int32_t chunkId = 0;  // index in the writer's chunk list
  int64_t start = 0;    // first byte
  int64_t end = 0;      // one past the last byte
  int64_t current = 0;  // next byte to write; start <= current; finished when current >= end
};

}  // namespace zephyl
