#include "storage/progress_file.h"

#include <cstdio>
#include <string>
#include <type_traits>

#include "storage/atomic_file.h"
#include "storage/file_handle.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

constexpr int32_t kFormatVersion = 1;

// Little-endian encoding independent of the host's byte order.
template <typename Integer>
void appendLittleEndian(std::string* bytes, Integer value) {
  using Unsigned = std::make_unsigned_t<Integer>;
  Unsigned bits = static_cast<Unsigned>(value);
  for (size_t i = 0; i < sizeof(Integer); ++i) {
    bytes->push_back(static_cast<char>(bits & 0xff));
    bits = static_cast<Unsigned>(bits >> 8);
  }
}

template <typename Integer>
bool readLittleEndian(FILE* file, Integer& value) {
  using Unsigned = std::make_unsigned_t<Integer>;
  unsigned char bytes[sizeof(Integer)];
  if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) return false;
  Unsigned bits = 0;
  for (size_t i = sizeof(Integer); i-- > 0;) bits = static_cast<Unsigned>((bits << 8) | bytes[i]);
  value = static_cast<Integer>(bits);
  return true;
}

// Folds every finished chunk into the chunk that starts where it ends, so that runs of finished
// adjacent chunks become one record.
std::vector<ChunkInfo> compact(const std::vector<ChunkInfo>& chunks) {
  std::vector<ChunkInfo> compacted;
  compacted.reserve(chunks.size());
  for (const ChunkInfo& chunk : chunks) {
    if (!compacted.empty()) {
      ChunkInfo& last = compacted.back();
      if (last.current == last.end && chunk.start == last.end) {
        last.current = chunk.current;
        last.end = chunk.end;
        continue;
      }
    }
    compacted.push_back(chunk);
  }
  return compacted;
}

// A record the library could have written: ordered, and claiming no byte past the resource.
bool isPlausible(const ChunkInfo& chunk, int64_t contentLength) {
  return chunk.start >= 0 && chunk.current >= chunk.start && chunk.end >= chunk.current &&
         chunk.current <= contentLength;
}

}  // namespace

bool saveProgress(const std::string& path, const std::vector<ChunkInfo>& chunks,
                  int64_t contentLength) {
  const std::vector<ChunkInfo> records = compact(chunks);
  std::string bytes;
  bytes.reserve(kProgressHeaderBytes + kProgressRecordBytes * records.size());
  appendLittleEndian<int32_t>(&bytes, kFormatVersion);
  appendLittleEndian<int64_t>(&bytes, contentLength);
  appendLittleEndian<int32_t>(&bytes, static_cast<int32_t>(records.size()));
  for (const ChunkInfo& record : records) {
    appendLittleEndian<int64_t>(&bytes, record.start);
    appendLittleEndian<int64_t>(&bytes, record.current);
    appendLittleEndian<int64_t>(&bytes, record.end);
  }
  // A kill, a power loss or a full disk during the save leaves the previous record whole.
  return replaceFileAtomically(path, bytes.data(), bytes.size()).isOk();
}

bool loadProgress(const std::string& path, std::vector<ChunkInfo>& chunks, int64_t& contentLength) {
  FileHandle file(fs::fOpenFile(path, "rb"));
  if (!file) return false;
  int32_t version = 0;
  int32_t count = 0;
  if (!readLittleEndian(file.get(), version)) return false;
  if (!readLittleEndian(file.get(), contentLength)) return false;
  if (!readLittleEndian(file.get(), count)) return false;
  if (contentLength < 0) return false;
  if (count <= 0) return true;
  // The count is not trusted for allocation: records are read one by one until the file ends,
  // so a claimed count far beyond the file's size costs nothing.
  for (int32_t i = 0; i < count; ++i) {
    ChunkInfo chunk;
    if (!readLittleEndian(file.get(), chunk.start) ||
        !readLittleEndian(file.get(), chunk.current) || !readLittleEndian(file.get(), chunk.end)) {
      return false;
    }
    if (!isPlausible(chunk, contentLength)) return false;
    chunks.push_back(chunk);
  }
  return true;
}

}  // namespace zephyl
