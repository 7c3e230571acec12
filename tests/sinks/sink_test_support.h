// Helpers shared by the writer tests: a fresh temporary directory per test (support/temp_dir.h),
// file contents, a reproducible byte pattern, a scoped file-size limit, and a driver that feeds a
// writer the way the download engine does (first chunk, length, remaining chunks, odd-sized
// interleaved writes).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sinks/data_writer.h"
#include "support/file_contents.h"
#include "support/file_size_limit.h"
#include "support/status_report.h"
#include "support/temp_dir.h"

namespace zephyl::test {

using Bytes = std::vector<unsigned char>;

inline void writeBytes(const std::string& path, const Bytes& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Bytes that differ from their neighbours and from zero-filled gaps, so that a byte stored at a
// wrong offset or never stored shows up.
inline Bytes patternBytes(size_t size, uint32_t seed = 12345) {
  Bytes bytes(size);
  uint32_t state = seed;
  for (unsigned char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>((state >> 16) | 1u);
  }
  return bytes;
}

// Writes the rest of every given chunk from source in odd-sized pieces, one piece per chunk in
// turn, as parallel connections would. A chunk reaches its end or the source's end, whichever
// comes first (an end below 0 is open). Fails at the first refused write.
inline testing::AssertionResult fillChunks(DataWriter& writer, std::vector<ChunkInfo> chunks,
                                           Bytes& source) {
  static const int kPieces[] = {7, 1, 13, 509, 4099, 2};
  const int64_t total = static_cast<int64_t>(source.size());
  size_t pieceIndex = 0;
  bool progressed = true;
  while (progressed) {
    progressed = false;
    for (ChunkInfo& chunk : chunks) {
      const int64_t limit = chunk.end < 0 ? total : std::min(chunk.end, total);
      if (chunk.current >= limit) continue;
      const int piece = static_cast<int>(
          std::min<int64_t>(kPieces[pieceIndex++ % std::size(kPieces)], limit - chunk.current));
      int code = 0;
      std::string message;
      if (!test::reported(writer.write(chunk.chunkId, piece, source.data() + chunk.current), &code,
                          &message)) {
        return testing::AssertionFailure() << "write of " << piece << " bytes at " << chunk.current
                                           << " refused: " << code << " " << message;
      }
      chunk.current += piece;
      progressed = true;
    }
  }
  return testing::AssertionSuccess();
}

// Every unfinished chunk after the first, as the engine takes them from the writer one by one.
inline std::vector<ChunkInfo> unfinishedChunks(DataWriter& writer, int excludeChunkId) {
  std::vector<ChunkInfo> chunks;
  ChunkInfo chunk;
  int32_t after = -1;
  while (writer.nextChunk(after, &chunk)) {
    after = chunk.chunkId;
    if (chunk.chunkId != excludeChunkId) chunks.push_back(chunk);
  }
  return chunks;
}

// Plans every chunk of the known length, as the engine does by taking them one by one.
inline void planAll(DataWriter& writer) { (void)unfinishedChunks(writer, -1); }

// The engine's course of one attempt: the first chunk, the length, the other unfinished chunks,
// then every remaining byte. Nothing is fetched when the writer reports everything stored.
inline testing::AssertionResult completeDownload(DataWriter& writer, Bytes& source) {
  const ChunkInfo first = writer.firstChunk();
  if (first.current == first.end) return testing::AssertionSuccess();
  int code = 0;
  std::string message;
  if (!test::reported(writer.setContentLength(static_cast<int64_t>(source.size())), &code,
                      &message)) {
    return testing::AssertionFailure() << "setContentLength refused: " << code << " " << message;
  }
  std::vector<ChunkInfo> chunks{writer.chunkAt(first.chunkId)};
  for (const ChunkInfo& chunk : unfinishedChunks(writer, first.chunkId)) chunks.push_back(chunk);
  return fillChunks(writer, chunks, source);
}

// Eight threads write chunks 0-7 (1000 bytes each, in pieces of 100) of an 8000-byte download
// whose chunks are all planned, while another thread reads the progress (and, where the writer
// has them, chunk records) all along: the count never goes back and the length never changes.
// Fails with the number of refused writes and inconsistent reads.
inline testing::AssertionResult writeChunksConcurrently(DataWriter& writer, Bytes& source) {
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread reader([&] {
    int64_t last = 0;
    while (!done.load()) {
      const int64_t now = writer.downloadedLength();
      if (now < last || writer.contentLength() != 8000) failures.fetch_add(1);
      last = now;
      writer.chunkAt(3);
    }
  });
  std::vector<std::thread> workers;
  workers.reserve(8);
  for (int chunk = 0; chunk < 8; ++chunk) {
    workers.emplace_back([&, chunk] {
      int code = 0;
      std::string message;
      for (int offset = 0; offset < 1000; offset += 100) {
        if (!test::reported(
                writer.write(chunk, 100,
                             source.data() + static_cast<size_t>(chunk * 1000 + offset)),
                &code, &message)) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  done = true;
  reader.join();
  if (failures.load() == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << failures.load() << " refused writes or inconsistent reads";
}

}  // namespace zephyl::test
