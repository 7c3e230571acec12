// A ".info" progress file of any content, as a crash, a full disk, another program or an attacker
// with access to the storage root may leave it. Two promises are checked:
//  - loadProgress accepts only records the library could have written, and what it accepts saves
//    and loads again with the same length and the same stored bytes;
//  - a writer resuming from the file, whose data file holds the right bytes up to some length,
//    finishes the download with exactly the resource's bytes: the file never makes it skip a byte
//    it does not have, nor run past the resource.
// Input: u16 data file length, u16 resource length, u8 block size / 256 - 1 (little-endian), then
// the progress file itself.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sinks/chunk_data_writer.h"
#include "storage/file_storage_manager.h"
#include "storage/progress_file.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"
#include "zephyl/zp_setting.h"

namespace zephyl::fuzz {
namespace {

constexpr size_t kHeaderBytes = 5;
constexpr char kKey[] = "0123456789abcdef0123456789abcdef";

// The resource's bytes: never zero, and different from their neighbours, so that a byte stored
// at a wrong offset or never stored shows in the delivered file.
const std::string& resourceBytes() {
  static const std::string bytes = [] {
    std::string pattern(65535, '\0');
    uint32_t state = 12345;
    for (char& byte : pattern) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<char>((state >> 16) | 1u);
    }
    return pattern;
  }();
  return bytes;
}

int64_t storedSum(const std::vector<ChunkInfo>& chunks) {
  int64_t sum = 0;
  for (const ChunkInfo& chunk : chunks) sum += chunk.current - chunk.start;
  return sum;
}

void checkLoad(const std::string& dir, const std::string& file) {
  const std::string path = dir + "/loaded.info";
  writeFile(path, file.data(), file.size());
  std::vector<ChunkInfo> chunks;
  int64_t length = 0;
  if (!loadProgress(path, chunks, length)) return;

  FUZZ_CHECK(length >= 0, "negative length accepted");
  FUZZ_CHECK(file.size() >= 16 + 24 * chunks.size(), "more records than the file holds");
  for (const ChunkInfo& chunk : chunks) {
    FUZZ_CHECK(chunk.start >= 0 && chunk.start <= chunk.current && chunk.current <= chunk.end &&
                   chunk.current <= length,
               "implausible record accepted");
  }

  const std::string copy = dir + "/saved.info";
  FUZZ_CHECK(saveProgress(copy, chunks, length), "cannot save what was loaded");
  std::vector<ChunkInfo> reloaded;
  int64_t reloadedLength = -1;
  FUZZ_CHECK(loadProgress(copy, reloaded, reloadedLength), "a saved record does not load");
  FUZZ_CHECK(reloadedLength == length, "the length changed in a save");
  FUZZ_CHECK(storedSum(reloaded) == storedSum(chunks), "the stored bytes changed in a save");
  FUZZ_CHECK(reloaded.size() <= chunks.size(), "a save added records");
}

// The engine's course, one chunk after the other: the first chunk, the length (a stored download
// of another length is dropped, as the task does), every unfinished chunk, then the delivery.
void checkResume(const std::string& dir, FileStorageManager& storage,
                 const std::shared_ptr<FileStorageManager>& storagePointer, int64_t dataLength,
                 int64_t resourceLength, int64_t blockSize, const std::string& file) {
  const std::string& resource = resourceBytes();
  const FilePaths paths = storedPathsOf(FileKind::Chunked, storage.lruCacheDir(), kKey);
  writeFile(paths.dataPath, resource.data(), static_cast<size_t>(dataLength));
  writeFile(paths.infoPath, file.data(), file.size());
  const std::string saveDir = dir + "/save";

  ChunkDataWriter writer(kKey, storagePointer, saveDir, blockSize);
  Status status = writer.open();
  FUZZ_CHECK(status.isOk(), "open failed: " + status.message());
  FUZZ_CHECK(writer.downloadedLength() <= dataLength, "claims bytes the data file lacks");

  int64_t expectedLength = resourceLength;
  const ChunkInfo first = writer.firstChunk();
  if (first.current == first.end) {
    // Everything the plan names is stored: the task delivers without asking the server.
    expectedLength = writer.contentLength();
    FUZZ_CHECK(expectedLength > 0 && expectedLength <= dataLength,
               "complete without the bytes: " + std::to_string(expectedLength));
  } else {
    if (!writer.setContentLength(resourceLength).isOk()) {
      writer.reset();
      (void)writer.firstChunk();
      status = writer.setContentLength(resourceLength);
      FUZZ_CHECK(status.isOk(), "a fresh plan refuses the length: " + status.message());
    }
    // A resumed plan keeps the chunks its file recorded, perhaps of another block size, and
    // fills each gap between them with chunks of this one: the file's records and the blocks of
    // the gaps (at most one more per record) bound it, whatever the file says.
    const int64_t records =
        file.size() >= kProgressHeaderBytes
            ? static_cast<int64_t>((file.size() - kProgressHeaderBytes) / kProgressRecordBytes)
            : 0;
    const size_t maxChunks = static_cast<size_t>(2 * records + resourceLength / blockSize + 2);
    std::vector<ChunkInfo> chunks{writer.chunkAt(writer.firstChunk().chunkId)};
    ChunkInfo next;
    for (int32_t after = chunks.front().chunkId; writer.nextChunk(after, &next);
         after = next.chunkId) {
      FUZZ_CHECK(next.chunkId > after,
                 "nextChunk went back to chunk " + std::to_string(next.chunkId));
      FUZZ_CHECK(chunks.size() <= maxChunks, "the plan has more chunks than the resource needs");
      chunks.push_back(next);
    }
    for (const ChunkInfo& chunk : chunks) {
      FUZZ_CHECK(chunk.start >= 0 && chunk.start <= chunk.current && chunk.current <= chunk.end,
                 "disordered chunk handed out");
      const int64_t limit = std::min(chunk.end, resourceLength);
      for (int64_t offset = chunk.current; offset < limit;) {
        const int piece = static_cast<int>(std::min<int64_t>(4099, limit - offset));
        std::string bytes =
            resource.substr(static_cast<size_t>(offset), static_cast<size_t>(piece));
        status = writer.write(chunk.chunkId, piece, reinterpret_cast<unsigned char*>(bytes.data()));
        FUZZ_CHECK(status.isOk(),
                   "write refused at " + std::to_string(offset) + ": " + status.message());
        offset += piece;
      }
    }
  }

  ZPResponse response;
  status = writer.moveToSaveDir(ZPRequest(), &response);
  writer.close();
  FUZZ_CHECK(status.isOk(), "delivery failed: " + status.message());
  const std::string result = readFile(response.getFile());
  FUZZ_CHECK(result.size() == static_cast<size_t>(expectedLength),
             "delivered " + std::to_string(result.size()) + " bytes, expected " +
                 std::to_string(expectedLength));
  FUZZ_CHECK(std::memcmp(result.data(), resource.data(), result.size()) == 0,
             "delivered bytes differ from the resource");
  resetDir(saveDir);
}

}  // namespace
}  // namespace zephyl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zephyl;
  using namespace zephyl::fuzz;
  static ScratchDir scratch;
  static const std::shared_ptr<FileStorageManager> storage =
      FileStorageManager::getInstance(scratch.path() + "/root", ZPCachePolicy());
  if (size < kHeaderBytes) return 0;
  const int64_t dataLength = data[0] | (data[1] << 8);
  const int64_t resourceLength = data[2] | (data[3] << 8);
  const int64_t blockSize = (int64_t{data[4]} + 1) * 256;
  const std::string file(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes);

  checkLoad(scratch.path(), file);
  // An empty resource takes another course (a 416 to the first range).
  if (resourceLength > 0) {
    std::error_code ignored;
    std::filesystem::create_directories(storage->lruCacheDir(), ignored);
    checkResume(scratch.path(), *storage, storage, dataLength, resourceLength, blockSize, file);
  }
  return 0;
}
