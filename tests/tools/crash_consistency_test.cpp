// zget killed with SIGKILL at random moments of a chunked, resumable download, progress saves
// among them: the progress file it leaves is whole or absent, the next run asks the server for no
// byte that file claims, and a run left to finish delivers the resource byte for byte.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "tools/child_process.h"

namespace zephyl::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKills = 200;
constexpr int kMaxRuns = 600;  // runs that finish before their kill count as runs, not kills
constexpr int64_t kSize = 4 << 20;
constexpr uint32_t kSeed = 20240611;

struct Range {
  int64_t begin = 0;
  int64_t end = 0;  // exclusive
};

// Closes the file descriptor it owns.
struct Descriptor {
  explicit Descriptor(int descriptor) : fd(descriptor) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  const int fd;
};

// The built tool: the path CMake passes, else its place in the build tree beside tests/.
std::string zgetBinary() {
#ifdef ZGET_BINARY
  return ZGET_BINARY;
#else
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "bin/zget").string();
#endif
}

int64_t littleEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return width == 4 ? static_cast<int32_t>(value) : static_cast<int64_t>(value);
}

// A whole progress file: version 1, the resource's length, N ordered records within it, and
// exactly 16 + 24 N bytes. Fills claimed with the stored [start, current) ranges.
bool parseProgress(const std::string& bytes, std::vector<Range>* claimed) {
  if (bytes.size() < 16 || littleEndian(bytes, 0, 4) != 1) return false;
  const int64_t count = littleEndian(bytes, 12, 4);
  if (littleEndian(bytes, 4, 8) != kSize || count < 0 ||
      bytes.size() != 16 + 24 * static_cast<size_t>(count)) {
    return false;
  }
  for (size_t at = 16; at < bytes.size(); at += 24) {
    const int64_t start = littleEndian(bytes, at, 8);
    const int64_t current = littleEndian(bytes, at + 8, 8);
    const int64_t end = littleEndian(bytes, at + 16, 8);
    if (start < 0 || current < start || end < current || end > kSize) return false;
    claimed->push_back({start, current});
  }
  return true;
}

// The bytes a request asks for; a GET without a range asks for all of them.
Range rangeOf(const SeenRequest& request) {
  if (request.method != "GET") return {};
  long long first = 0;
  long long last = kSize - 1;
  if (request.hasRange &&
      std::sscanf(request.range.c_str(), "bytes=%lld-%lld", &first, &last) < 1) {
    ADD_FAILURE() << "unexpected range " << request.range;
  }
  return {first, last + 1};
}

class CrashConsistencyTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    ASSERT_TRUE(server_.started());
    ASSERT_TRUE(std::filesystem::exists(zgetBinary())) << zgetBinary() << " is not built";
    ASSERT_EQ(mkdir(temp_.file("work").c_str(), 0755), 0);
  }

  // Runs zget on /crash.bin with these block and transfer options.
  bool start(ChildProcess* child, const std::vector<std::string>& split = {"-k", "64K", "-x", "4"}) {
    std::vector<std::string> args = {"-q"};
    args.insert(args.end(), split.begin(), split.end());
    for (const std::string& arg : {std::string("--cache-dir"), temp_.file("cache"),
                                   std::string("-o"), std::string("crash.bin"),
                                   server_.url("/crash.bin")}) {
      args.push_back(arg);
    }
    return child->start(zgetBinary(), args, temp_.file("work"), {{"HOME", temp_.file("work")}},
                        temp_.file("stdout"), temp_.file("stderr"));
  }
  // The progress file of the cache, once one exists; empty before.
  std::string progressFile() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(lruCache(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".info") == 0) {
        return entry.path().string();
      }
    }
    return {};
  }
  std::string lruCache() const { return temp_.file("cache") + "/lruCache"; }
  std::string output() const { return temp_.file("work") + "/crash.bin"; }

  // Waits until a progress file of the cache is created or written; false when deadline came
  // first.
  bool waitForProgressWrite(int watch, Clock::time_point deadline) {
    alignas(inotify_event) char events[4096];
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
      pollfd ready{watch, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      const ssize_t got = read(watch, events, sizeof events);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0 && std::string(event->name).find(".info") != std::string::npos) {
          return true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return false;
  }

  TempDir temp_;
  TestHttpServer server_;
};

TEST_F(CrashConsistencyTest, KilledRunsLeaveWholeProgressAndResumeWithoutRefetching) {
  const std::vector<uint8_t> body = patternBytes(kSize, 31);
  const std::string expected(body.begin(), body.end());
  // Every 64 KiB answer pauses halfway, so that a run lasts long enough to be killed anywhere.
  Misbehaviour throttle;
  throttle.stallAfterBytes = 32 << 10;
  throttle.stallMs = 25;
  server_.serve("/crash.bin", body, throttle);

  // Whole runs tell how long a run lasts: the shortest of three, since a run slowed by a busy
  // machine would put most kill moments after the end of the runs that follow.
  int exitCode = -1;
  int64_t runUs = 0;
  for (int i = 0; i < 3; ++i) {
    ChildProcess whole;
    const auto started = Clock::now();
    ASSERT_TRUE(start(&whole));
    ASSERT_TRUE(whole.wait(60000, &exitCode));
    const int64_t us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
    runUs = i == 0 ? us : std::min(runUs, us);
    ASSERT_EQ(exitCode, 0) << readText(temp_.file("stderr"));
    ASSERT_TRUE(readText(output()) == expected);
    ASSERT_EQ(std::remove(output().c_str()), 0);
  }
  const Descriptor watching(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  const int watch = watching.fd;
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, lruCache().c_str(), IN_CREATE | IN_MODIFY), 0);

  std::mt19937 random(kSeed);
  std::uniform_real_distribution<double> logDelayUs(0, std::log(3001.0));
  int kills = 0;
  int killsAtASave = 0;
  int leftTemporary = 0;
  int finished = 0;
  int64_t requestedBytes = 0;
  std::vector<Range> claimed;  // what the progress file claimed at the last kill
  std::string lastKill = "none";
  size_t seen = server_.requestCount();
  auto checkRequestsSince = [&](const std::string& run) {
    const std::vector<SeenRequest> requests = server_.requests();
    for (size_t i = seen; i < requests.size(); ++i) {
      const Range asked = rangeOf(requests[i]);
      requestedBytes += asked.end - asked.begin;
      for (const Range& stored : claimed) {
        if (stored.begin == stored.end) continue;  // a chunk planned, nothing of it stored yet
        EXPECT_TRUE(asked.end <= stored.begin || asked.begin >= stored.end)
            << run << " asks for " << requests[i].range << " again, stored in [" << stored.begin
            << ", " << stored.end << ") at the kill before (" << lastKill << "), seed " << kSeed;
      }
    }
    seen = requests.size();
  };

  for (int run = 1; run <= kMaxRuns && kills < kKills; ++run) {
    // Half the kills come at any moment of a run, half within 3 ms of a progress file being
    // written, denser near 0 since writing one takes microseconds; those wait by spinning, as a
    // sleep would oversleep them.
    const bool atASave = random() % 2 == 0;
    const int64_t delayUs = atASave ? static_cast<int64_t>(std::exp(logDelayUs(random))) - 1
                                    : std::uniform_int_distribution<int64_t>(0, runUs)(random);
    const std::string moment = "run " + std::to_string(run) + ", " + std::to_string(delayUs) +
                               " us after " + (atASave ? "a save began" : "its start");
    char drained[4096];
    while (read(watch, drained, sizeof drained) > 0) {
    }
    ChildProcess child;
    const auto runStarted = Clock::now();
    const auto runFileTime = std::filesystem::file_time_type::clock::now();
    ASSERT_TRUE(start(&child));
    bool afterASave = false;
    if (atASave) {
      afterASave = waitForProgressWrite(watch, runStarted + std::chrono::microseconds(runUs));
      const auto killAt = Clock::now() + std::chrono::microseconds(delayUs);
      while (Clock::now() < killAt) {
      }
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    }
    child.signal(SIGKILL);
    ASSERT_TRUE(child.wait(10000, &exitCode)) << moment;
    // A request the run sent just before its death is logged a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    checkRequestsSince(moment);
    claimed.clear();
    lastKill = moment;
    if (exitCode == 0) {  // done before the kill
      ++finished;
      // It took less than delayUs: later kill moments stay within what a run lasts now.
      if (!atASave) runUs = std::max<int64_t>(1, std::min(runUs, delayUs));
      ASSERT_TRUE(readText(output()) == expected) << moment;
      ASSERT_EQ(std::remove(output().c_str()), 0);
      continue;
    }
    ASSERT_EQ(exitCode, 128 + SIGKILL) << moment << "\n" << readText(temp_.file("stderr"));
    ++kills;
    killsAtASave += afterASave ? 1 : 0;
    for (const auto& entry : std::filesystem::directory_iterator(lruCache())) {
      const std::string name = entry.path().filename().string();
      // A save caught in the act; one an earlier kill left is older than this run.
      if (name.size() > 9 && name.compare(name.size() - 9, 9, ".info.tmp") == 0 &&
          entry.last_write_time() >= runFileTime) {
        ++leftTemporary;
      }
      if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".info") != 0) continue;
      const std::string progress = readText(entry.path().string());
      EXPECT_TRUE(parseProgress(progress, &claimed))
          << name << " torn by the kill at " << moment << " (" << progress.size()
          << " bytes), seed " << kSeed;
    }
  }
  EXPECT_EQ(kills, kKills) << "runs ran out";

  ChildProcess last;
  ASSERT_TRUE(start(&last));
  ASSERT_TRUE(last.wait(60000, &exitCode));
  EXPECT_EQ(exitCode, 0) << readText(temp_.file("stderr"));
  checkRequestsSince("the last run");
  EXPECT_TRUE(readText(output()) == expected);

  const int64_t fetchedAgain = requestedBytes - (finished + 1) * kSize;
  std::printf(
      "%d kills (%d just after a save began), %d found a save in progress (.info.tmp); "
      "%d runs finished first; %lld bytes asked for again\n",
      kills, killsAtASave, leftTemporary, finished, static_cast<long long>(fetchedAgain));
  RecordProperty("kills", kills);
  RecordProperty("kills_just_after_a_save_began", killsAtASave);
  RecordProperty("kills_inside_a_save", leftTemporary);
  RecordProperty("bytes_asked_again", std::to_string(fetchedAgain));
}

// On a slow link one block may take far longer than a kill takes to come: while bytes arrive the
// progress is recorded by time as well, so a run killed inside its only block keeps what it
// stored, and the next run asks only for the rest.
TEST_F(CrashConsistencyTest, RunKilledInsideASlowBlockKeepsWhatItStored) {
  const std::vector<uint8_t> body = patternBytes(kSize, 32);
  Misbehaviour slow;
  slow.bytesPerSecond = 512 << 10;  // the one block, the whole file, takes 8 s
  slow.etag = "\"v1\"";                 // stored bytes without a validator are never continued
  server_.serve("/crash.bin", body, slow);
  const std::vector<std::string> oneBlock = {"-k", "4M", "-x", "1"};
  ChildProcess child;
  const auto started = Clock::now();
  ASSERT_TRUE(start(&child, oneBlock));
  std::string progress;
  while (progress.empty() && Clock::now() - started < std::chrono::seconds(6)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    progress = progressFile();
  }
  child.signal(SIGKILL);
  int exitCode = -1;
  ASSERT_TRUE(child.wait(10000, &exitCode));
  ASSERT_FALSE(progress.empty()) << "no progress recorded within 6 s of an 8 s block";
  ASSERT_EQ(exitCode, 128 + SIGKILL) << readText(temp_.file("stderr"));
  std::vector<Range> claimed;
  ASSERT_TRUE(parseProgress(readText(progressFile()), &claimed));
  int64_t stored = 0;
  for (const Range& range : claimed) stored += range.end - range.begin;
  EXPECT_GT(stored, 0);

  Misbehaviour healthy;
  healthy.etag = slow.etag;
  server_.setMisbehaviour("/crash.bin", healthy);
  server_.clearRequests();
  ChildProcess rest;
  ASSERT_TRUE(start(&rest, oneBlock));
  ASSERT_TRUE(rest.wait(60000, &exitCode));
  EXPECT_EQ(exitCode, 0) << readText(temp_.file("stderr"));
  EXPECT_TRUE(readText(output()) == std::string(body.begin(), body.end()));
  for (const SeenRequest& request : server_.requests()) {
    const Range asked = rangeOf(request);
    for (const Range& kept : claimed) {
      EXPECT_TRUE(asked.end <= kept.begin || asked.begin >= kept.end) << request.range;
    }
  }
}

}  // namespace
}  // namespace zephyl::test
