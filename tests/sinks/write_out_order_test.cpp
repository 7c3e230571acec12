// The order a crash leaves safe, as the system sees it: the data of a download reach the disk
// before the progress record that claims them and before the rename that delivers them, and
// the write-out of a delivery starts each stored block as it is stored and waits only once, at
// the end. This program defines the C library's calls that put bytes on the disk or give a file
// its name (sync_file_range, fdatasync, fsync, rename, renameat2, link): the library's calls in
// it reach these first, which log them and pass them on to the C library.
#include <gtest/gtest.h>

#if defined(__linux__)

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sink_test_support.h"
#include "sinks/chunk_data_writer.h"
#include "sinks/file_data_writer.h"
#include "storage/file_storage_manager.h"
#include "support/status_report.h"

namespace zephyl {
namespace {

struct DiskCall {
  enum Kind { kStartWrite, kWaitAll, kSync, kName } kind;
  std::string path;  // the file synced, or the source of a new name
  std::string target;
  int64_t offset = 0;
  int64_t length = 0;
};

// The calls made while a test records, in the order they were made.
class DiskCallLog {
 public:
  void start() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    recording_ = true;
  }
  std::vector<DiskCall> stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = false;
    return std::move(calls_);
  }
  void add(DiskCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) calls_.push_back(std::move(call));
  }

 private:
  std::mutex mutex_;
  bool recording_ = false;
  std::vector<DiskCall> calls_;
};

DiskCallLog& diskCalls() {
  static DiskCallLog log;
  return log;
}

std::string pathOf(int fd) {
  char path[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t size = ::readlink(link.c_str(), path, sizeof path - 1);
  return size > 0 ? std::string(path, static_cast<size_t>(size)) : std::string();
}

template <typename Function>
Function* next(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace
}  // namespace zephyl

using zephyl::DiskCall;
using zephyl::diskCalls;

extern "C" int sync_file_range(int fd, off64_t offset, off64_t length, unsigned int flags) {
  constexpr unsigned kWaitAll =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (flags == SYNC_FILE_RANGE_WRITE || (flags == kWaitAll && offset == 0 && length == 0)) {
    diskCalls().add({flags == SYNC_FILE_RANGE_WRITE ? DiskCall::kStartWrite : DiskCall::kWaitAll,
                     zephyl::pathOf(fd), {}, offset, length});
  } else {
    ADD_FAILURE() << "sync_file_range with flags " << flags << " at " << offset;
  }
  static auto* real = zephyl::next<int(int, off64_t, off64_t, unsigned)>("sync_file_range");
  return real(fd, offset, length, flags);
}

extern "C" int fdatasync(int fd) {
  diskCalls().add({DiskCall::kSync, zephyl::pathOf(fd), {}, 0, 0});
  static auto* real = zephyl::next<int(int)>("fdatasync");
  return real(fd);
}

extern "C" int fsync(int fd) {
  diskCalls().add({DiskCall::kSync, zephyl::pathOf(fd), {}, 0, 0});
  static auto* real = zephyl::next<int(int)>("fsync");
  return real(fd);
}

extern "C" int rename(const char* source, const char* target) noexcept {
  diskCalls().add({DiskCall::kName, source, target, 0, 0});
  static auto* real = zephyl::next<int(const char*, const char*)>("rename");
  return real(source, target);
}

extern "C" int renameat2(int sourceDir, const char* source, int targetDir, const char* target,
                         unsigned int flags) noexcept {
  diskCalls().add({DiskCall::kName, source, target, 0, 0});
  static auto* real = zephyl::next<int(int, const char*, int, const char*, unsigned)>("renameat2");
  return real(sourceDir, source, targetDir, target, flags);
}

extern "C" int link(const char* source, const char* target) noexcept {
  diskCalls().add({DiskCall::kName, source, target, 0, 0});
  static auto* real = zephyl::next<int(const char*, const char*)>("link");
  return real(source, target);
}

namespace zephyl {
namespace {

using test::Bytes;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr int64_t kBlock = 64 * 1024;

std::atomic<int64_t> fakeNowMs{0};
int64_t fakeClock() { return fakeNowMs.load(); }

// The index of the first call of kind on path at or after from, or -1.
int find(const std::vector<DiskCall>& calls, DiskCall::Kind kind, const std::string& path,
         size_t from = 0) {
  for (size_t i = from; i < calls.size(); ++i) {
    if (calls[i].kind == kind && calls[i].path == path) return static_cast<int>(i);
  }
  return -1;
}

int count(const std::vector<DiskCall>& calls, DiskCall::Kind kind, const std::string& path) {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const DiskCall& call) {
    return call.kind == kind && call.path == path;
  }));
}

// The write-back starts on path of a file of total bytes, checked to be each one block of
// length bytes (the last one shorter) or, when atLeast, spans of at least length bytes that
// follow each other from byte 0; none may come twice. Returns their offsets (span ends when
// atLeast).
std::vector<int64_t> startsOf(const std::vector<DiskCall>& calls, const std::string& path,
                              int64_t total, int64_t length, bool atLeast) {
  std::vector<int64_t> starts;
  for (const DiskCall& call : calls) {
    if (call.kind != DiskCall::kStartWrite || call.path != path) continue;
    if (atLeast) {
      EXPECT_GE(call.length, length) << call.offset;
      EXPECT_EQ(call.offset, starts.empty() ? 0 : starts.back()) << "a gap or an overlap";
      starts.push_back(call.offset + call.length);
    } else {
      EXPECT_EQ(call.length, std::min(length, total - call.offset)) << call.offset;
      EXPECT_EQ(call.offset % length, 0);
      starts.push_back(call.offset);
    }
  }
  std::vector<int64_t> sorted = starts;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  return starts;
}

// With the write-out, one wait for the whole data file after its last write-back start and
// before the name that delivers it; without it, no wait at all. Never an fdatasync of the data:
// no progress record is due.
void expectOneWaitBeforeTheRename(const std::vector<DiskCall>& calls, const std::string& data,
                                  bool writeOut) {
  EXPECT_EQ(count(calls, DiskCall::kSync, data), 0);
  const int placed = find(calls, DiskCall::kName, data);
  ASSERT_GE(placed, 0) << "the data file was never renamed";
  const int waited = find(calls, DiskCall::kWaitAll, data);
  if (!writeOut) {
    EXPECT_EQ(waited, -1);
    return;
  }
  EXPECT_EQ(count(calls, DiskCall::kWaitAll, data), 1);
  ASSERT_GE(waited, 0) << "delivered without the write-out";
  EXPECT_LT(waited, placed);
  EXPECT_EQ(find(calls, DiskCall::kStartWrite, data, static_cast<size_t>(waited)), -1);
}

class WriteOutOrderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    // The logged paths are the system's: the temporary directory without links in its name.
    base_ = std::filesystem::canonical(dir_.path()).string();
    storage_ = FileStorageManager::getInstance(base_ + "/root", ZPCachePolicy());
    fakeNowMs = 1000000;
  }
  void TearDown() override { (void)diskCalls().stop(); }

  std::string saveDir() const { return base_ + "/save"; }
  std::string chunkDataPath() const { return base_ + "/root/lruCache/" + kKey; }
  std::string fileDataPath() const { return base_ + "/root/temp/" + kKey; }

  // Delivers, closes and checks the delivered bytes.
  void deliver(DataWriter& writer, const Bytes& source) {
    ZPResponse response;
    ASSERT_TRUE(test::reported(writer.moveToSaveDir(ZPRequest(), &response), &code_, &message_))
        << message_;
    writer.close();
    EXPECT_EQ(test::readBytes(response.getFile()), source);
  }

  test::TempDir dir_;
  std::string base_;
  std::shared_ptr<FileStorageManager> storage_;
  int code_ = 0;
  std::string message_;
};

// The parameter: the write-out before delivery on or off.
class WriteOutDeliveryTest : public WriteOutOrderTest, public testing::WithParamInterface<bool> {};

// Every finished block starts for the disk as it is stored (the one that completes the download
// is left to the end), nothing waits for the disk while bytes arrive, and the one wait of the
// write-out comes after the last start and before the rename that delivers the file.
TEST_P(WriteOutDeliveryTest, ChunkedDeliveryStartsEachBlockAndWaitsOnceBeforeTheRename) {
  ChunkDataWriter writer(kKey, storage_, saveDir(), kBlock, nullptr, GetParam());
  writer.setClock(fakeClock);  // standing still: no progress record falls due
  ASSERT_TRUE(test::reported(writer.open(), &code_, &message_)) << message_;
  Bytes source = test::patternBytes(4 * kBlock + 100);
  diskCalls().start();
  ASSERT_TRUE(test::completeDownload(writer, source));
  deliver(writer, source);
  const std::vector<DiskCall> calls = diskCalls().stop();

  EXPECT_EQ(startsOf(calls, chunkDataPath(), 4 * kBlock + 100, kBlock, false).size(), 4u);
  expectOneWaitBeforeTheRename(calls, chunkDataPath(), GetParam());
}

// The single-file sink starts its bytes for the disk span by span, in order, as they arrive.
TEST_P(WriteOutDeliveryTest, FileDeliveryStartsEachSpanAndWaitsOnceBeforeTheRename) {
  FileDataWriter writer(storage_, saveDir(), kKey, nullptr, GetParam());
  ASSERT_TRUE(test::reported(writer.open(), &code_, &message_)) << message_;
  constexpr int64_t kSpan = FileDataWriter::kWritebackSpanBytes;
  Bytes source = test::patternBytes(2 * kSpan + kSpan / 2);
  diskCalls().start();
  ASSERT_TRUE(test::completeDownload(writer, source));
  deliver(writer, source);
  const std::vector<DiskCall> calls = diskCalls().stop();

  EXPECT_EQ(startsOf(calls, fileDataPath(), 2 * kSpan + kSpan / 2, kSpan, true).size(), 2u);
  expectOneWaitBeforeTheRename(calls, fileDataPath(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(WriteOut, WriteOutDeliveryTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "On" : "Off";
                         });

// A progress record, saved while chunks run or at close, names only bytes already synced: each
// rename that puts a record in place follows an fdatasync of the data made since the one before.
TEST_F(WriteOutOrderTest, ProgressRecordFollowsTheDataItClaims) {
  ChunkDataWriter writer(kKey, storage_, saveDir(), kBlock);
  writer.setClock(fakeClock);
  ASSERT_TRUE(test::reported(writer.open(), &code_, &message_)) << message_;
  Bytes source = test::patternBytes(4 * kBlock + 100);
  const ChunkInfo first = writer.firstChunk();
  ASSERT_TRUE(test::reported(writer.setContentLength(static_cast<int64_t>(source.size())), &code_,
                             &message_))
      << message_;
  test::planAll(writer);
  // Past the first save's delay: the first finished chunk saves a record.
  fakeNowMs += ChunkDataWriter::kFinishedSaveIntervalMs;
  diskCalls().start();
  ASSERT_TRUE(test::fillChunks(
      writer, {writer.chunkAt(first.chunkId), writer.chunkAt(1), writer.chunkAt(2)}, source));
  writer.close();  // interrupted: close records what is stored
  const std::vector<DiskCall> calls = diskCalls().stop();

  const std::string info = chunkDataPath() + ".info";
  int records = 0;
  size_t afterLastRecord = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].kind != DiskCall::kName || calls[i].target != info) continue;
    ++records;
    const int synced = find(calls, DiskCall::kSync, chunkDataPath(), afterLastRecord);
    EXPECT_GE(synced, 0) << "record " << records << " before its data were synced";
    EXPECT_LT(synced, static_cast<int>(i));
    afterLastRecord = i + 1;
  }
  EXPECT_EQ(records, 2);  // one while the chunks ran, one at close
}

}  // namespace
}  // namespace zephyl

#else

TEST(WriteOutOrderTest, NeedsLinux) {
  GTEST_SKIP() << "the calls are observed through the C library's names, which only this "
                  "program's Linux build replaces";
}

#endif
