#include "sinks/chunk_data_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "sink_test_support.h"
#include "sinks/validator_file.h"
#include "storage/file_storage_manager.h"
#include "storage/progress_file.h"
#include "support/status_report.h"

namespace zephyl {
namespace {

using test::Bytes;
using test::unfinishedChunks;
namespace stdfs = std::filesystem;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr int64_t kMiB = 1048576;
constexpr int64_t kBlock = 4096;

std::atomic<int64_t> fakeNowMs{0};
int64_t fakeClock() { return fakeNowMs.load(); }

void putLittleEndian(Bytes& bytes, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A progress file encoded from the documented layout, independently of the library.
Bytes encodeProgress(int64_t contentLength, const std::vector<std::vector<int64_t>>& records) {
  Bytes bytes;
  putLittleEndian(bytes, 1, 4);
  putLittleEndian(bytes, static_cast<uint64_t>(contentLength), 8);
  putLittleEndian(bytes, records.size(), 4);
  for (const auto& record : records) {
    for (int64_t value : record) putLittleEndian(bytes, static_cast<uint64_t>(value), 8);
  }
  return bytes;
}

// Every test has its own storage root and therefore its own storage manager (managers are
// process-wide per root).
class ChunkDataWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    storage_ = FileStorageManager::getInstance(root(), ZPCachePolicy());
    fakeNowMs = 1000000;
  }

  std::string root() const { return dir_.path() + "/root"; }
  std::string saveDir() const { return dir_.path() + "/save"; }
  std::string dataPath() const { return root() + "/lruCache/" + kKey; }
  std::string infoPath() const { return dataPath() + ".info"; }

  std::unique_ptr<ChunkDataWriter> openWriter(int64_t blockSize = kBlock,
                                              int64_t progressSaveIntervalMs = 0) {
    auto writer = std::make_unique<ChunkDataWriter>(kKey, storage_, saveDir(), blockSize, nullptr,
                                                    true, progressSaveIntervalMs);
    writer->setClock(fakeClock);
    EXPECT_TRUE(test::reported(writer->open(), &code_, &message_)) << message_;
    return writer;
  }

  // Delivers to the save directory and returns the delivered bytes.
  Bytes deliver(ChunkDataWriter& writer, int64_t expectedLength) {
    ZPResponse response;
    EXPECT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_))
        << message_;
    writer.close();
    EXPECT_EQ(response.getFile(), saveDir() + "/" + kKey);
    EXPECT_EQ(response.fileLength(), expectedLength);
    EXPECT_FALSE(stdfs::exists(infoPath()));
    return test::readBytes(response.getFile());
  }

  struct Progress {
    bool loaded = false;
    std::vector<ChunkInfo> chunks;
    int64_t contentLength = 0;
  };
  Progress readProgress() const {
    Progress progress;
    progress.loaded = loadProgress(infoPath(), progress.chunks, progress.contentLength);
    return progress;
  }

  test::TempDir dir_;
  std::shared_ptr<FileStorageManager> storage_;
  int code_ = 0;
  std::string message_;
};

TEST_F(ChunkDataWriterTest, StoresExactBytesForSizesAroundTheBlockSize) {
  for (int64_t size : {int64_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 77}) {
    SCOPED_TRACE(size);
    auto writer = openWriter();
    Bytes source = test::patternBytes(static_cast<size_t>(size), static_cast<uint32_t>(size));
    ASSERT_TRUE(test::completeDownload(*writer, source));
    EXPECT_EQ(writer->downloadedLength(), size);
    EXPECT_EQ(deliver(*writer, size), source);
  }
}

TEST_F(ChunkDataWriterTest, PlansFiveMebibytesInTwoMebibyteBlocks) {
  auto writer = openWriter(2 * kMiB);
  EXPECT_EQ(writer->firstChunk().end, 2 * kMiB);
  EXPECT_TRUE(unfinishedChunks(*writer, 0).empty());  // length not known yet
  ASSERT_TRUE(test::reported(writer->setContentLength(5 * kMiB), &code_, &message_));
  test::planAll(*writer);
  const std::vector<ChunkInfo> rest = unfinishedChunks(*writer, 0);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].chunkId, 1);
  EXPECT_EQ(rest[0].start, 2 * kMiB);
  EXPECT_EQ(rest[0].current, 2 * kMiB);
  EXPECT_EQ(rest[0].end, 4 * kMiB);
  EXPECT_EQ(rest[1].chunkId, 2);
  EXPECT_EQ(rest[1].start, 4 * kMiB);
  EXPECT_EQ(rest[1].end, 5 * kMiB);
  writer->close();
}

// A download that completes before any save is due writes no record (it is delivered next);
// closed without a delivery, it is kept with its record and validator.
TEST_F(ChunkDataWriterTest, ShortResourceClosedWithoutDeliveryIsCachedWithItsProgress) {
  auto writer = openWriter(2097152);
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(1000), &code_, &message_));
  writer->setValidator("\"v1\"");
  test::planAll(*writer);
  EXPECT_TRUE(unfinishedChunks(*writer, 0).empty());
  Bytes source = test::patternBytes(1000);
  ASSERT_TRUE(test::reported(writer->write(0, 1000, source.data()), &code_, &message_));
  EXPECT_FALSE(stdfs::exists(infoPath()));
  EXPECT_FALSE(stdfs::exists(dataPath() + ".validator"));
  writer->close();
  std::string validator;
  ASSERT_TRUE(loadValidator(dataPath() + ".validator", &validator));
  EXPECT_EQ(validator, "\"v1\"");

  const Progress progress = readProgress();
  ASSERT_TRUE(progress.loaded);
  EXPECT_EQ(progress.contentLength, 1000);
  ASSERT_EQ(progress.chunks.size(), 1u);
  EXPECT_EQ(progress.chunks[0].start, 0);
  EXPECT_EQ(progress.chunks[0].current, 1000);
  EXPECT_EQ(progress.chunks[0].end, 2097152);
  EXPECT_EQ(test::readBytes(dataPath()), source);

  // Everything is stored: a resumed download has nothing left to fetch and delivers at once.
  auto resumed = openWriter(2097152);
  const ChunkInfo first = resumed->firstChunk();
  EXPECT_EQ(first.current, first.end);
  EXPECT_EQ(deliver(*resumed, 1000), source);
}

TEST_F(ChunkDataWriterTest, NewWriterResumesFromTheStoredOffsets) {
  Bytes source = test::patternBytes(3 * kBlock + 100);
  {
    auto writer = openWriter();
    writer->firstChunk();
    ASSERT_TRUE(test::reported(writer->setContentLength(static_cast<int64_t>(source.size())),
                               &code_, &message_));
    test::planAll(*writer);
    ASSERT_TRUE(test::reported(writer->write(0, kBlock, source.data()), &code_, &message_));
    ASSERT_TRUE(
        test::reported(writer->write(1, kBlock / 2, source.data() + kBlock), &code_, &message_));
    ASSERT_TRUE(
        test::reported(writer->write(2, 100, source.data() + 2 * kBlock), &code_, &message_));
    writer->close();
  }
  auto writer = openWriter();
  EXPECT_EQ(writer->downloadedLength(), kBlock + kBlock / 2 + 100);
  EXPECT_EQ(writer->contentLength(), static_cast<int64_t>(source.size()));
  const ChunkInfo first = writer->firstChunk();
  EXPECT_EQ(first.current, kBlock + kBlock / 2);
  ASSERT_TRUE(test::reported(writer->setContentLength(static_cast<int64_t>(source.size())), &code_,
                             &message_));
  test::planAll(*writer);
  const std::vector<ChunkInfo> rest = unfinishedChunks(*writer, first.chunkId);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].current, 2 * kBlock + 100);
  EXPECT_EQ(rest[1].current, 3 * kBlock);
  // The stored bytes are not written again: the source's copy of them is spoiled on purpose.
  Bytes spoiled = source;
  for (int64_t i = 0; i < kBlock + kBlock / 2; ++i) spoiled[static_cast<size_t>(i)] = 0;
  ASSERT_TRUE(test::fillChunks(*writer, {first, rest[0], rest[1]}, spoiled));
  EXPECT_EQ(deliver(*writer, static_cast<int64_t>(source.size())), source);
}

TEST_F(ChunkDataWriterTest, ProgressCutAfterItsContentLengthKeepsOnlyTheLength) {
  Bytes data = test::patternBytes(500);
  test::writeBytes(dataPath(), data);
  Bytes info = encodeProgress(3000, {{0, 500, 4096}});
  info.resize(12);
  test::writeBytes(infoPath(), info);

  auto writer = openWriter();
  EXPECT_EQ(writer->contentLength(), 3000);
  EXPECT_EQ(writer->downloadedLength(), 0);
  const ChunkInfo first = writer->firstChunk();
  EXPECT_EQ(first.start, 0);
  EXPECT_EQ(first.current, 0);
  EXPECT_FALSE(test::reported(writer->setContentLength(3001), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_EQ(message_, "contentLength error: 3001 3000");
  Bytes source = test::patternBytes(3000, 7);
  ASSERT_TRUE(test::completeDownload(*writer, source));
  EXPECT_EQ(deliver(*writer, 3000), source);
}

// A progress file without a length (a length of 0) that claimed bytes or a finished range used to
// be believed: with a finished range the download was delivered from the stale data file without
// a request.
TEST_F(ChunkDataWriterTest, ProgressWithoutALengthClaimsNothing) {
  const Bytes stale = test::patternBytes(300, 9);
  const std::vector<std::vector<std::vector<int64_t>>> cases = {
      {{0, 0, 0}},                  // an empty range, finished
      {{0, 300, 300}},              // every byte of the data file, finished
      {{0, 100, kBlock}},           // part of a range
      {{0, 0, 0}, {0, 200, 200}}};  // a finished range after an empty one
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    test::writeBytes(dataPath(), stale);
    test::writeBytes(infoPath(), encodeProgress(0, cases[i]));
    auto writer = openWriter();
    EXPECT_EQ(writer->downloadedLength(), 0);
    const ChunkInfo first = writer->firstChunk();
    EXPECT_EQ(first.current, 0);
    EXPECT_GT(first.end, 0);
    Bytes source = test::patternBytes(1000);
    ASSERT_TRUE(test::completeDownload(*writer, source));
    ASSERT_EQ(deliver(*writer, 1000), source);
  }
}

// Every save first syncs the data, so saves are batched: the first finished chunk is saved at
// once, later finished chunks once a second has passed, running chunks every five seconds.
// A chunk finished within a second of the start is not saved then; the first write a second
// after the start saves it, even a write to a chunk still running.
TEST_F(ChunkDataWriterTest, NoProgressSaveWithinASecondOfTheStart) {
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(3 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(3 * kBlock);
  fakeNowMs += 999;
  ASSERT_TRUE(test::reported(writer->write(0, kBlock, source.data()), &code_, &message_));
  EXPECT_FALSE(stdfs::exists(infoPath()));
  fakeNowMs += 1;
  ASSERT_TRUE(test::reported(writer->write(1, 10, source.data() + kBlock), &code_, &message_));
  const Progress progress = readProgress();
  ASSERT_TRUE(progress.loaded);
  EXPECT_EQ(progress.chunks.front().current, kBlock + 10);  // chunk 0 folded into chunk 1
}

TEST_F(ChunkDataWriterTest, ProgressSavesAreBatchedByTime) {
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(4 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(4 * kBlock);

  // However long the first chunk takes, nothing is saved before a chunk finishes.
  ASSERT_TRUE(test::reported(writer->write(0, kBlock - 1, source.data()), &code_, &message_));
  fakeNowMs += 60000;
  ASSERT_TRUE(test::reported(writer->write(1, 10, source.data() + kBlock), &code_, &message_));
  EXPECT_FALSE(stdfs::exists(infoPath()));

  ASSERT_TRUE(test::reported(writer->write(0, 1, source.data() + kBlock - 1), &code_, &message_));
  Progress progress = readProgress();
  ASSERT_TRUE(progress.loaded);
  ASSERT_EQ(progress.chunks.front().current, kBlock + 10);  // chunk 0 folded into chunk 1

  // A finished chunk within a second of the last save waits for a later one.
  fakeNowMs += 999;
  ASSERT_TRUE(
      test::reported(writer->write(2, kBlock, source.data() + 2 * kBlock), &code_, &message_));
  EXPECT_EQ(readProgress().chunks.size(), progress.chunks.size());
  fakeNowMs += 1;
  ASSERT_TRUE(
      test::reported(writer->write(3, kBlock, source.data() + 3 * kBlock), &code_, &message_));
  progress = readProgress();
  EXPECT_EQ(progress.chunks.back().current, 4 * kBlock);

  // A running chunk is saved once more than five seconds have passed.
  fakeNowMs += 5000;
  ASSERT_TRUE(test::reported(writer->write(1, 10, source.data() + kBlock + 10), &code_, &message_));
  EXPECT_EQ(readProgress().chunks.front().current, kBlock + 10);
  fakeNowMs += 1;
  ASSERT_TRUE(test::reported(writer->write(1, 10, source.data() + kBlock + 20), &code_, &message_));
  EXPECT_EQ(readProgress().chunks.front().current, kBlock + 30);
  writer->close();
}

// With a save interval, bytes of a chunk that runs long are recorded by time as well: first that
// long after the open, then that long after each save, whatever the block size.
TEST_F(ChunkDataWriterTest, RunningChunkIsSavedByTimeWithAnInterval) {
  auto writer = openWriter(kBlock, 2000);
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(4 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(kBlock);
  for (int64_t stored = 0; stored < 4 * 10; stored += 10) {
    fakeNowMs += 1000;
    const bool due = stored % 20 == 10;  // every second write: 2 s after the open or the save
    ASSERT_TRUE(test::reported(writer->write(0, 10, source.data() + stored), &code_, &message_));
    const Progress progress = readProgress();
    if (stored == 0) {
      EXPECT_FALSE(progress.loaded) << "saved before the interval passed";
    }
    if (!due) continue;
    ASSERT_TRUE(progress.loaded) << stored;
    EXPECT_EQ(progress.chunks.front().current, stored + 10);
  }
  writer->close();
}

// A process killed after any write leaves the data and progress files of that moment; a new
// writer on copies of them must finish the download byte for byte.
TEST_F(ChunkDataWriterTest, KilledAtAnyMomentResumesToAnExactFile) {
  Bytes source = test::patternBytes(5 * 256 + 77);
  const int64_t length = static_cast<int64_t>(source.size());
  const std::string snapshotRoot = dir_.path() + "/snapshot";
  const std::string snapshotData = snapshotRoot + "/lruCache/" + kKey;
  auto snapshotStorage = FileStorageManager::getInstance(snapshotRoot, ZPCachePolicy());

  auto writer = openWriter(256);
  const ChunkInfo first = writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(length), &code_, &message_));
  test::planAll(*writer);
  std::vector<ChunkInfo> chunks{first};
  for (const ChunkInfo& chunk : unfinishedChunks(*writer, 0)) chunks.push_back(chunk);

  static const int kPieces[] = {100, 37, 256, 3, 119};
  size_t pieceIndex = 0;
  int snapshots = 0;
  bool progressed = true;
  while (progressed) {
    progressed = false;
    for (ChunkInfo& chunk : chunks) {
      const int64_t limit = std::min(chunk.end, length);
      if (chunk.current >= limit) continue;
      const int piece = static_cast<int>(
          std::min<int64_t>(kPieces[pieceIndex++ % std::size(kPieces)], limit - chunk.current));
      ASSERT_TRUE(test::reported(writer->write(chunk.chunkId, piece, source.data() + chunk.current),
                                 &code_, &message_));
      chunk.current += piece;
      progressed = true;
      fakeNowMs += 2000;  // lets the periodic save take part too

      SCOPED_TRACE(snapshots++);
      stdfs::create_directories(snapshotRoot + "/lruCache");
      stdfs::copy_file(dataPath(), snapshotData, stdfs::copy_options::overwrite_existing);
      stdfs::remove(snapshotData + ".info");
      if (stdfs::exists(infoPath())) {
        stdfs::copy_file(infoPath(), snapshotData + ".info");
      }
      ChunkDataWriter resumed(kKey, snapshotStorage, dir_.path() + "/snapshot-save", 256);
      ASSERT_TRUE(test::reported(resumed.open(), &code_, &message_)) << message_;
      EXPECT_LE(resumed.downloadedLength(), writer->downloadedLength());
      // Only the bytes the progress does not claim are written again, so an exact file proves
      // every claimed byte.
      Bytes resumedSource = source;
      ASSERT_TRUE(test::completeDownload(resumed, resumedSource));
      ZPResponse response;
      ASSERT_TRUE(test::reported(resumed.moveToSaveDir(ZPRequest(), &response), &code_, &message_))
          << message_;
      resumed.close();
      ASSERT_EQ(test::readBytes(response.getFile()), source);
    }
  }
  EXPECT_GT(snapshots, 10);
  EXPECT_EQ(deliver(*writer, length), source);
}

TEST_F(ChunkDataWriterTest, ProgressFileCutAnywhereNeverCorruptsTheResumedFile) {
  Bytes source = test::patternBytes(4 * kBlock);
  {
    auto writer = openWriter();
    writer->firstChunk();
    ASSERT_TRUE(test::reported(writer->setContentLength(4 * kBlock), &code_, &message_));
    test::planAll(*writer);
    ASSERT_TRUE(test::reported(writer->write(0, kBlock, source.data()), &code_, &message_));
    ASSERT_TRUE(
        test::reported(writer->write(2, kBlock, source.data() + 2 * kBlock), &code_, &message_));
    ASSERT_TRUE(
        test::reported(writer->write(3, 10, source.data() + 3 * kBlock), &code_, &message_));
    writer->close();
  }
  const Bytes fullInfo = test::readBytes(infoPath());
  const Bytes data = test::readBytes(dataPath());
  ASSERT_GT(fullInfo.size(), 16u);
  for (size_t cut = 0; cut < fullInfo.size(); ++cut) {
    SCOPED_TRACE(cut);
    test::writeBytes(dataPath(), data);
    test::writeBytes(infoPath(),
                     Bytes(fullInfo.begin(), fullInfo.begin() + static_cast<std::ptrdiff_t>(cut)));
    auto writer = openWriter();
    EXPECT_EQ(writer->downloadedLength(), 0);
    ASSERT_TRUE(test::completeDownload(*writer, source));
    ASSERT_EQ(deliver(*writer, 4 * kBlock), source);
  }
}

TEST_F(ChunkDataWriterTest, RangesAreClampedToWhatTheDataFileHolds) {
  Bytes source = test::patternBytes(2 * kBlock);
  test::writeBytes(dataPath(), Bytes(source.begin(), source.begin() + kBlock / 2));
  test::writeBytes(infoPath(), encodeProgress(2 * kBlock, {{0, kBlock, kBlock},
                                                           {kBlock, kBlock + 50, 2 * kBlock}}));
  auto writer = openWriter();
  EXPECT_EQ(writer->downloadedLength(), kBlock / 2);
  EXPECT_EQ(writer->firstChunk().current, kBlock / 2);
  EXPECT_EQ(writer->chunkAt(1).current, kBlock);
  ASSERT_TRUE(test::completeDownload(*writer, source));
  EXPECT_EQ(deliver(*writer, 2 * kBlock), source);
}

TEST_F(ChunkDataWriterTest, InconsistentProgressIsDiscarded) {
  const int64_t length = 2 * kBlock;
  const std::vector<std::pair<int64_t, std::vector<std::vector<int64_t>>>> cases = {
      {-5, {{0, 10, kBlock}}},                                               // negative length
      {length, {{kBlock, kBlock + 10, 2 * kBlock}, {0, 10, kBlock}}},        // out of order
      {length, {{0, 100, kBlock}, {kBlock - 10, kBlock, 2 * kBlock}}},       // overlapping
      {length, {{0, 100, kBlock}, {kBlock + 10, kBlock + 20, 2 * kBlock}}},  // gap
      {length, {{0, kBlock, kBlock}, {kBlock, 3 * kBlock, 3 * kBlock}}},     // past the length
      {length, {{10, 20, kBlock}}},                                          // not from byte 0
  };
  Bytes source = test::patternBytes(static_cast<size_t>(length));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    test::writeBytes(dataPath(), Bytes(static_cast<size_t>(length), 0xEE));
    test::writeBytes(infoPath(), encodeProgress(cases[i].first, cases[i].second));
    auto writer = openWriter();
    EXPECT_EQ(writer->downloadedLength(), 0);
    EXPECT_EQ(stdfs::file_size(dataPath()), 0u);
    const ChunkInfo first = writer->firstChunk();
    EXPECT_EQ(first.start, 0);
    EXPECT_EQ(first.current, 0);
    ASSERT_TRUE(test::completeDownload(*writer, source));
    ASSERT_EQ(deliver(*writer, length), source);
  }
}

TEST_F(ChunkDataWriterTest, RefusesWritePastTheChunkEndWithoutStoringIt) {
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(2 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(2 * kBlock);
  ASSERT_TRUE(test::reported(writer->write(0, kBlock - 5, source.data()), &code_, &message_));
  EXPECT_FALSE(test::reported(writer->write(0, 6, source.data() + kBlock - 5), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(writer->downloadedLength(), kBlock - 5);
  EXPECT_EQ(stdfs::file_size(dataPath()), static_cast<uintmax_t>(kBlock - 5));
  writer->close();
}

TEST_F(ChunkDataWriterTest, RefusesWritePastTheLengthOfAShortResource) {
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(1000), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(1001);
  EXPECT_FALSE(test::reported(writer->write(0, 1001, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  EXPECT_EQ(writer->downloadedLength(), 0);
  writer->close();
}

TEST_F(ChunkDataWriterTest, RefusesWritesWithInvalidIndexOrWithoutFile) {
  Bytes source = test::patternBytes(10);
  ChunkDataWriter unopened(kKey, storage_, saveDir(), kBlock);
  unopened.firstChunk();
  EXPECT_FALSE(test::reported(unopened.write(0, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);

  auto writer = openWriter();
  writer->firstChunk();
  code_ = 0;
  EXPECT_FALSE(test::reported(writer->write(1, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  code_ = 0;
  EXPECT_FALSE(test::reported(writer->write(-1, 10, source.data()), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::EXECUTE_ERROR);
  writer->close();
}

TEST_F(ChunkDataWriterTest, UnknownLengthTakesTheWholeBodyAsOneOpenChunk) {
  auto writer = openWriter(64);
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(-1), &code_, &message_)) << message_;
  EXPECT_EQ(writer->contentLength(), -1);
  EXPECT_TRUE(unfinishedChunks(*writer, 0).empty());
  const ChunkInfo open = writer->chunkAt(0);
  EXPECT_EQ(open.start, 0);
  EXPECT_GT(open.end, int64_t{1} << 60);
  Bytes source = test::patternBytes(1000);  // far more than one block
  ASSERT_TRUE(test::fillChunks(*writer, {open}, source));
  EXPECT_EQ(deliver(*writer, 1000), source);
}

TEST_F(ChunkDataWriterTest, UnknownLengthCannotContinueStoredRanges) {
  {
    auto writer = openWriter(64);
    writer->firstChunk();
    ASSERT_TRUE(test::reported(writer->setContentLength(300), &code_, &message_));
    test::planAll(*writer);
    Bytes source = test::patternBytes(300);
    ASSERT_TRUE(test::fillChunks(*writer, {writer->chunkAt(0)}, source));
    writer->close();
  }
  auto resumed = openWriter(64);
  resumed->firstChunk();
  EXPECT_FALSE(test::reported(resumed->setContentLength(-1), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_EQ(message_, "contentLength unknown");
  EXPECT_EQ(resumed->contentLength(), 300);
  resumed->close();
}

TEST_F(ChunkDataWriterTest, UnknownLengthDownloadInterruptedStartsOver) {
  {
    auto writer = openWriter(64);
    writer->firstChunk();
    ASSERT_TRUE(test::reported(writer->setContentLength(-1), &code_, &message_));
    test::planAll(*writer);
    Bytes part = test::patternBytes(100);
    ASSERT_TRUE(test::reported(writer->write(0, 100, part.data()), &code_, &message_));
    writer->close();
  }
  // Without a length nothing proves how much of the resource is there: nothing is resumed.
  auto reopened = openWriter(64);
  EXPECT_EQ(reopened->downloadedLength(), 0);
  const ChunkInfo first = reopened->firstChunk();
  EXPECT_EQ(first.current, 0);
  reopened->close();
}

TEST_F(ChunkDataWriterTest, CoverWholeResourceMakesTheFirstChunkOwnEverything) {
  auto writer = openWriter(64);
  writer->firstChunk();
  EXPECT_FALSE(writer->coverWholeResource(0));  // length not known yet
  ASSERT_TRUE(test::reported(writer->setContentLength(300), &code_, &message_));
  test::planAll(*writer);
  EXPECT_FALSE(writer->coverWholeResource(1));  // does not start at byte 0
  ASSERT_TRUE(writer->coverWholeResource(0));
  EXPECT_TRUE(unfinishedChunks(*writer, 0).empty());
  const ChunkInfo whole = writer->chunkAt(0);
  EXPECT_EQ(whole.end, 300);
  Bytes source = test::patternBytes(300);
  ASSERT_TRUE(test::fillChunks(*writer, {whole}, source));
  EXPECT_EQ(deliver(*writer, 300), source);
}

TEST_F(ChunkDataWriterTest, NonPositiveBlockSizeFallsBackToTheDefault) {
  for (int64_t blockSize : {int64_t{0}, int64_t{-1}}) {
    ChunkDataWriter writer(kKey, storage_, saveDir(), blockSize);
    EXPECT_EQ(writer.firstChunk().end, 2097152);
    ASSERT_TRUE(test::reported(writer.setContentLength(5 * kMiB), &code_, &message_));
    test::planAll(writer);
    EXPECT_EQ(unfinishedChunks(writer, 0).size(), 2u);
  }
}

TEST_F(ChunkDataWriterTest, FailedWriteReportsTheSystemErrorAndStoresNothing) {
  if (!zephyl::test::FileSizeLimit::supported()) {
    GTEST_SKIP() << zephyl::test::kNoFileSizeLimit;
  }
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(2 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(2 * kBlock);
  {
    test::FileSizeLimit limit(kBlock);
    ASSERT_TRUE(limit.applied());
    ASSERT_TRUE(test::reported(writer->write(0, kBlock, source.data()), &code_, &message_));
    EXPECT_FALSE(test::reported(writer->write(1, 100, source.data() + kBlock), &code_, &message_));
  }
  EXPECT_EQ(code_, EFBIG);
  EXPECT_EQ(message_, std::generic_category().message(EFBIG));
  EXPECT_EQ(writer->downloadedLength(), kBlock);
  EXPECT_EQ(writer->chunkAt(1).current, kBlock);
  // The retry of the chunk succeeds once the file may grow.
  ASSERT_TRUE(test::fillChunks(*writer, {writer->chunkAt(1)}, source));
  EXPECT_EQ(deliver(*writer, 2 * kBlock), source);
}

TEST_F(ChunkDataWriterTest, ResetDiscardsBothFilesAndThePlan) {
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(2 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes stale = test::patternBytes(2 * kBlock, 3);
  fakeNowMs += 1000;  // a save is due for a chunk finished a second after the start
  ASSERT_TRUE(test::reported(writer->write(0, kBlock, stale.data()), &code_, &message_));
  ASSERT_TRUE(stdfs::exists(infoPath()));
  writer->reset();
  EXPECT_FALSE(stdfs::exists(infoPath()));
  EXPECT_EQ(stdfs::file_size(dataPath()), 0u);
  EXPECT_EQ(writer->downloadedLength(), 0);
  EXPECT_EQ(writer->contentLength(), 0);
  Bytes source = test::patternBytes(kBlock + 9, 4);  // the resource changed its length
  ASSERT_TRUE(test::completeDownload(*writer, source));
  EXPECT_EQ(deliver(*writer, kBlock + 9), source);
}

TEST_F(ChunkDataWriterTest, DeliversToTheRequestSavePath) {
  auto writer = openWriter();
  Bytes source = test::patternBytes(3 * kBlock);
  ASSERT_TRUE(test::completeDownload(*writer, source));
  ZPRequest request("http://127.0.0.1/file");
  request.savePath = dir_.path() + "/out/x/y.bin";
  ZPResponse response;
  ASSERT_TRUE(test::reported(writer->moveToSaveDir(request, &response), &code_, &message_))
      << message_;
  writer->close();
  EXPECT_EQ(response.getFile(), request.savePath);
  EXPECT_EQ(response.fileLength(), 3 * kBlock);
  EXPECT_EQ(test::readBytes(request.savePath), source);
  EXPECT_FALSE(stdfs::exists(dataPath()));
  EXPECT_FALSE(stdfs::exists(infoPath()));
}

TEST_F(ChunkDataWriterTest, IncompleteDownloadIsNotDeliveredAndStaysResumable) {
  auto writer = openWriter();
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(2 * kBlock), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(2 * kBlock);
  ASSERT_TRUE(test::reported(writer->write(0, kBlock, source.data()), &code_, &message_));
  ZPResponse response;
  EXPECT_FALSE(test::reported(writer->moveToSaveDir(ZPRequest(), &response), &code_, &message_));
  EXPECT_EQ(code_, ZPResponse::CACHE_ERROR);
  EXPECT_TRUE(response.getFile().empty());
  writer->close();

  auto resumed = openWriter();
  EXPECT_EQ(resumed->downloadedLength(), kBlock);
  ASSERT_TRUE(test::completeDownload(*resumed, source));
  EXPECT_EQ(deliver(*resumed, 2 * kBlock), source);
}

TEST_F(ChunkDataWriterTest, ConcurrentChunkWritesAndProgressReads) {
  auto writer = openWriter(1000);
  writer->firstChunk();
  ASSERT_TRUE(test::reported(writer->setContentLength(8000), &code_, &message_));
  test::planAll(*writer);
  Bytes source = test::patternBytes(8000);
  ASSERT_TRUE(test::writeChunksConcurrently(*writer, source));
  EXPECT_EQ(deliver(*writer, 8000), source);
}

}  // namespace
}  // namespace zephyl
