// What a download delivers is the server's file, byte for byte, and stored bytes are kept until
// something proves them wrong: resources that change between answers, lengths that differ,
// answers that overshoot, empty resources, failed writes and failed deliveries. Through the
// public interface against loopback servers of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/digest.h"
#include "storage/fs.h"
#include "support/file_contents.h"
#include "support/file_size_limit.h"
#include "support/loopback_download.h"
#include "zephyl/zephyl.h"

namespace {

using zephyl::test::bytesServedOnce;
using zephyl::test::Misbehaviour;
using zephyl::test::patternBytes;
using zephyl::test::readBytes;
using zephyl::test::SeenRequest;

constexpr int64_t kBlock = zephyl::test::LoopbackDownload::kTestBlock;

constexpr size_t kSize = 5 * kBlock + 123;

class IntegrityTest : public testing::Test, protected zephyl::test::LoopbackDownload {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    settings_.threadNum = 2;
  }

  ZPRequest requestFor(const std::string& path, int outputType) {
    ZPRequest request(server_.url(path));
    request.outputType = outputType;
    request.savePath = dir_.file("out/" + std::to_string(outputType) + path);
    return request;
  }

  // The delivered bytes of a successful response, from its file or its buffer.
  static std::vector<uint8_t> deliveredBytes(ZPResponse& response) {
    if (response.getData() != nullptr) return *response.getData();
    return readBytes(response.getFile());
  }
};

constexpr int kSinks[] = {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE,
                          ZPRequest::OUTPUT_MEMORY};

std::string sinkName(int outputType) {
  switch (outputType) {
    case ZPRequest::OUTPUT_CHUNK_FILE:
      return "ChunkFile";
    case ZPRequest::OUTPUT_FILE:
      return "File";
    default:
      return "Memory";
  }
}

// ---- A resource that changes while it is fetched -------------------------------------------

// How the second version of a resource tells itself apart from the first.
enum class Change { kStrongEtag, kLastModified, kLength };

struct ChangeCase {
  int outputType;
  Change change;
};

class ChangedResourceTest : public IntegrityTest, public testing::WithParamInterface<ChangeCase> {};

// The first answer is cut after some bytes and the resource changes before the retry: the
// retry's answer must not be spliced onto the bytes of the first version.
TEST_P(ChangedResourceTest, RetryAfterTheResourceChangedDeliversOnlyTheNewVersion) {
  const ChangeCase param = GetParam();
  const std::vector<uint8_t> first = patternBytes(kSize, 1);
  const std::vector<uint8_t> second =
      patternBytes(param.change == Change::kLength ? kSize + 1000 : kSize, 2);
  Misbehaviour v1;
  v1.cutFirst = 1;
  v1.cutAfterBytes = kBlock / 2;
  Misbehaviour v2;
  switch (param.change) {
    case Change::kStrongEtag:
      v1.etag = "\"v1\"";
      v2.etag = "\"v2\"";
      break;
    case Change::kLastModified:
      v1.lastModified = "Mon, 07 Dec 2026 10:00:00 GMT";
      v2.lastModified = "Mon, 07 Dec 2026 11:00:00 GMT";
      break;
    case Change::kLength:
      break;
  }
  server_.serve("/r", first, v1);
  std::atomic<bool> swapped{false};
  ZPRequest request = requestFor("/r", param.outputType);
  // The first stored bytes come from the first version; then the server's resource changes.
  request.onProgress = [&](const ZPRequest&, int64_t, int64_t) {
    if (!swapped.exchange(true)) server_.serve("/r", second, v2);
  };
  Zephyl manager(settings_);
  ZPResponse response = manager.execute(request);
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_EQ(response.fileLength(), static_cast<int64_t>(second.size()));
  EXPECT_TRUE(deliveredBytes(response) == second) << "a file mixed from two versions";
  if (param.change != Change::kLength) {
    const std::string expected = param.change == Change::kStrongEtag ? v1.etag : v1.lastModified;
    bool askedIfRange = false;
    for (const SeenRequest& seen : server_.requests()) askedIfRange |= seen.ifRange == expected;
    EXPECT_TRUE(askedIfRange) << "resumed ranges name the stored version";
  }
}

std::vector<ChangeCase> changeCases() {
  std::vector<ChangeCase> cases;
  for (int sink : kSinks) {
    for (Change change : {Change::kStrongEtag, Change::kLastModified, Change::kLength}) {
      cases.push_back({sink, change});
    }
  }
  return cases;
}

std::string changeCaseName(const testing::TestParamInfo<ChangeCase>& info) {
  static const char* const kChanges[] = {"StrongEtag", "LastModified", "Length"};
  return sinkName(info.param.outputType) + kChanges[static_cast<int>(info.param.change)];
}

INSTANTIATE_TEST_SUITE_P(EverySink, ChangedResourceTest, testing::ValuesIn(changeCases()),
                         changeCaseName);

// A stored download resumed by a later execute: with the resource changed meanwhile the server
// answers the If-Range with the whole new resource, which takes the download over; unchanged, or
// stored without a usable validator (a weak ETag), only the missing bytes are asked for.
struct ResumeCase {
  const char* name;
  const char* etag;
  bool changes;
};

class ResumeTest : public IntegrityTest, public testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, LaterExecuteResumesOnlyTheStoredVersion) {
  const ResumeCase param = GetParam();
  const std::vector<uint8_t> first = patternBytes(kSize, 3);
  const std::vector<uint8_t> second = param.changes ? patternBytes(kSize, 4) : first;
  Misbehaviour broken;
  broken.etag = param.etag;
  broken.cutFirst = 1000;
  broken.cutAfterBytes = kBlock / 2;
  server_.serve("/r", first, broken);
  settings_.httpPolicy.executeRetryCount = 0;
  settings_.httpPolicy.serverErrorRetryCount = 0;
  settings_.httpPolicy.netErrorRetryCount = 0;
  {
    Zephyl manager(settings_);
    ASSERT_FALSE(manager.execute(requestFor("/r", ZPRequest::OUTPUT_CHUNK_FILE)).isSuccess());
  }
  Misbehaviour healthy;
  healthy.etag = param.changes ? "\"other\"" : param.etag;
  server_.serve("/r", second, healthy);
  server_.clearRequests();
  Zephyl manager(settings_);
  int64_t stored = 0;
  ASSERT_TRUE(manager.fetchProgress(server_.url("/r"), &stored, nullptr));
  ASSERT_GT(stored, 0);
  ZPResponse response = manager.execute(requestFor("/r", ZPRequest::OUTPUT_CHUNK_FILE));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_TRUE(readBytes(response.getFile()) == second);
  const std::vector<SeenRequest> seen = server_.requests();
  ASSERT_FALSE(seen.empty());
  const bool strong = param.etag[0] == '"';
  EXPECT_EQ(seen.front().ifRange, strong ? param.etag : "") << "a weak ETag validates nothing";
  const int64_t asked = bytesServedOnce(seen, kSize);
  if (!param.changes && strong) {
    EXPECT_LE(asked, static_cast<int64_t>(kSize) - stored) << "stored bytes fetched again";
  } else if (!strong) {
    // No strong validator: nothing ties the stored bytes to the server's resource, so they are
    // fetched anew rather than spliced onto an answer that may be another version.
    EXPECT_GE(asked, static_cast<int64_t>(kSize)) << "bytes without a validator were continued";
  }
}

INSTANTIATE_TEST_SUITE_P(Validators, ResumeTest,
                         testing::Values(ResumeCase{"StrongChanged", "\"v1\"", true},
                                         ResumeCase{"StrongUnchanged", "\"v1\"", false},
                                         ResumeCase{"WeakUnchanged", "W/\"v1\"", false},
                                         ResumeCase{"NoneUnchanged", "", false}),
                         [](const testing::TestParamInfo<ResumeCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Answers that are unusual but right ----------------------------------------------------

class SinkTest : public IntegrityTest, public testing::WithParamInterface<int> {};

// A server that answers every bounded range with the rest of the resource, and writes its unit
// in capitals: each chunk keeps its part and ends there, and nothing is fetched twice.
TEST_P(SinkTest, OvershootingAnswersFillEachChunkOnce) {
  const std::vector<uint8_t> body = patternBytes(kSize, 5);
  Misbehaviour overshoot;
  overshoot.overshoot = true;
  overshoot.rangeUnit = "BYTES";
  server_.serve("/r", body, overshoot);
  Zephyl manager(settings_);
  ZPResponse response = manager.execute(requestFor("/r", GetParam()));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_TRUE(deliveredBytes(response) == body);
  // No range is asked for twice: each request starts where no other did.
  std::set<std::string> starts;
  for (const SeenRequest& seen : server_.requests()) {
    const std::string start = seen.range.substr(0, seen.range.find('-'));
    EXPECT_TRUE(starts.insert(start).second) << seen.range;
  }
}

// An empty resource, told by a 200 with length 0 or by a 416 "bytes */0" to the first range, is
// an empty file (or buffer) at the target.
TEST_P(SinkTest, EmptyResourceIsAnEmptySuccess) {
  for (bool ignoreRange : {false, true}) {
    SCOPED_TRACE(ignoreRange ? "200 with length 0" : "416 bytes */0");
    Misbehaviour misbehaviour;
    misbehaviour.ignoreRange = ignoreRange;
    const std::string path = ignoreRange ? "/empty200" : "/empty416";
    server_.serve(path, {}, misbehaviour);
    Zephyl manager(settings_);
    ZPResponse response = manager.execute(requestFor(path, GetParam()));
    ASSERT_TRUE(response.isSuccess()) << response.logString();
    EXPECT_EQ(response.fileLength(), 0);
    if (GetParam() == ZPRequest::OUTPUT_MEMORY) {
      ASSERT_NE(response.getData(), nullptr);
      EXPECT_TRUE(response.getData()->empty());
    } else {
      struct stat info {};
      ASSERT_EQ(stat(response.getFile().c_str(), &info), 0);
      EXPECT_EQ(info.st_size, 0);
    }
  }
}

// A total far beyond what the server has (8 TiB) must end cleanly: no plan or buffer of that
// size is made, the download fails and the manager goes on.
TEST_P(SinkTest, ForgedHugeTotalEndsCleanly) {
  Misbehaviour forged;
  forged.claimedTotal = int64_t{8} << 40;
  server_.serve("/r", patternBytes(kSize, 6), forged);
  settings_.httpPolicy.serverErrorRetryCount = 0;
  settings_.httpPolicy.netErrorRetryCount = 0;
  Zephyl manager(settings_);
  ZPResponse response = manager.execute(requestFor("/r", GetParam()));
  EXPECT_FALSE(response.isSuccess());
  EXPECT_LT(server_.requestCount(), 50u);
}

// Without the write-out before delivery the result is the same, in files (and memory) alike.
TEST_P(SinkTest, DeliveryWithoutTheWriteOutHasTheSameBytes) {
  const std::vector<uint8_t> body = patternBytes(kSize, 9);
  server_.serve("/r", body);
  settings_.writeOutBeforeDelivery = false;
  Zephyl manager(settings_);
  ZPResponse response = manager.execute(requestFor("/r", GetParam()));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_TRUE(deliveredBytes(response) == body);
  EXPECT_EQ(response.fileLength(), static_cast<int64_t>(kSize));
}

INSTANTIATE_TEST_SUITE_P(EverySink, SinkTest, testing::ValuesIn(kSinks),
                         [](const testing::TestParamInfo<int>& info) {
                           return sinkName(info.param);
                         });

// ---- Stored bytes outlive failures that say nothing against them ----------------------------

// A write that fails (here: a file-size limit, as a full disk would) keeps what was stored; the
// next execute fetches only what is missing.
TEST_F(IntegrityTest, WriteFailureKeepsStoredBytesForTheNextExecute) {
  if (!zephyl::test::FileSizeLimit::supported()) {
    GTEST_SKIP() << zephyl::test::kNoFileSizeLimit;
  }
  const std::vector<uint8_t> body = patternBytes(kSize, 7);
  Misbehaviour versioned;  // a validator, without which stored bytes are never continued
  versioned.etag = "\"v1\"";
  server_.serve("/r", body, versioned);
  Zephyl manager(settings_);
  {
    zephyl::test::FileSizeLimit limit(2 * kBlock + 100);
    ASSERT_TRUE(limit.applied());
    ZPResponse failed = manager.execute(requestFor("/r", ZPRequest::OUTPUT_CHUNK_FILE));
    ASSERT_FALSE(failed.isSuccess());
    EXPECT_EQ(failed.getErrorCode(), ZPResponse::DATA_WRITE_ERROR);
  }
  int64_t stored = 0;
  ASSERT_TRUE(manager.fetchProgress(server_.url("/r"), &stored, nullptr));
  ASSERT_GE(stored, 2 * kBlock);
  server_.clearRequests();
  ZPResponse response = manager.execute(requestFor("/r", ZPRequest::OUTPUT_CHUNK_FILE));
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  EXPECT_TRUE(readBytes(response.getFile()) == body);
  EXPECT_LE(bytesServedOnce(server_.requests(), kSize), static_cast<int64_t>(kSize) - stored);
}

// A delivery that fails keeps the complete download (the second attempt only delivers again). A
// later download of it asks the server first: one request for the first byte, on the stored
// validator's condition. Unchanged, the stored file is delivered; changed, the server's new file
// (the whole answer to the If-Range); stored without a validator, fetched anew unless the
// request's checksum vouches for it; without an answer, the download fails and keeps it.
enum class Later { kUnchanged, kChanged, kNoValidator, kNoValidatorChecked, kNoAnswer };

struct StoredCase {
  int outputType;
  Later later;
};

class CompleteStoredTest : public IntegrityTest, public testing::WithParamInterface<StoredCase> {
 protected:
  // Fails the delivery of request once, leaving its complete download stored.
  void storeWithFailedDelivery(Zephyl& manager, ZPRequest request) {
    // A name longer than any file system takes: the directory is fine, only the delivery fails.
    request.savePath = dir_.file(std::string(300, 'n'));
    ZPResponse failed = manager.execute(request);
    ASSERT_FALSE(failed.isSuccess());
    EXPECT_LE(server_.requestCount(), GetParam().outputType == ZPRequest::OUTPUT_FILE
                                          ? 1u
                                          : (kSize + kBlock - 1) / kBlock);
  }
};

TEST_P(CompleteStoredTest, IsDeliveredOnlyOnceTheServerConfirmsIt) {
  const StoredCase param = GetParam();
  const bool validated = param.later == Later::kUnchanged || param.later == Later::kChanged ||
                         param.later == Later::kNoAnswer;
  const std::vector<uint8_t> first = patternBytes(kSize, 8);
  const std::vector<uint8_t> second = patternBytes(kSize, 18);  // the same length
  Misbehaviour v1;
  if (validated) v1.etag = "\"v1\"";
  server_.serve("/r", first, v1);
  ZPRequest request = requestFor("/r", param.outputType);
  if (param.later == Later::kNoValidatorChecked) {
    request.checksum =
        "md5:" + zephyl::digestHexOf(zephyl::DigestAlgorithm::Md5, first.data(), first.size());
  }
  Zephyl manager(settings_);
  storeWithFailedDelivery(manager, request);

  Misbehaviour v2;
  if (validated) v2.etag = param.later == Later::kChanged ? "\"v2\"" : "\"v1\"";
  const bool changes = param.later != Later::kUnchanged && param.later != Later::kNoAnswer;
  server_.serve("/r", changes ? second : first, v2);
  if (param.later == Later::kNoAnswer) {
    Misbehaviour silent = v2;
    silent.cutFirst = 1000;  // every answer closes its connection before its body
    server_.setMisbehaviour("/r", silent);
  }
  server_.clearRequests();
  ZPResponse response = manager.execute(request);
  const std::vector<SeenRequest> seen = server_.requests();
  if (param.later == Later::kNoAnswer) {
    EXPECT_EQ(response.getErrorCode(), ZPResponse::BLOCK_HTTP_NETWORK_ERROR)
        << response.logString();
    for (const SeenRequest& asked : seen) {
      EXPECT_EQ(asked.range, "bytes=0-0");
    }
    server_.setMisbehaviour("/r", v2);
    server_.clearRequests();
    response = manager.execute(request);
    EXPECT_EQ(server_.requestCount(), 1u) << "the stored download was kept";
  }
  ASSERT_TRUE(response.isSuccess()) << response.logString();
  const bool fresh = param.later == Later::kChanged || param.later == Later::kNoValidator;
  EXPECT_TRUE(readBytes(response.getFile()) == (fresh ? second : first));
  if (param.later == Later::kNoValidatorChecked) {
    EXPECT_TRUE(seen.empty()) << "the checksum vouches for the stored bytes";
  } else if (validated) {
    // One conditional request: its answer confirms the stored file or is the new one whole.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().range, "bytes=0-0");
    EXPECT_EQ(seen.front().ifRange, "\"v1\"");
    if (param.later != Later::kNoAnswer) {
      EXPECT_EQ(seen.size(), 1u);
    }
  } else {
    EXPECT_EQ(bytesServedOnce(seen, kSize), static_cast<int64_t>(kSize)) << "fetched anew";
  }
}

std::vector<StoredCase> storedCases() {
  std::vector<StoredCase> cases;
  for (int sink : {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE}) {
    for (Later later : {Later::kUnchanged, Later::kChanged, Later::kNoValidator,
                        Later::kNoValidatorChecked, Later::kNoAnswer}) {
      cases.push_back({sink, later});
    }
  }
  return cases;
}

std::string storedCaseName(const testing::TestParamInfo<StoredCase>& info) {
  static const char* const kLater[] = {"Unchanged", "Changed", "NoValidator",
                                       "NoValidatorChecked", "NoAnswer"};
  return sinkName(info.param.outputType) + kLater[static_cast<int>(info.param.later)];
}

INSTANTIATE_TEST_SUITE_P(LaterDownloads, CompleteStoredTest, testing::ValuesIn(storedCases()),
                         storedCaseName);

// The storage root and the save directory on two file systems (tmpfs and the disk): delivery
// crosses them and replaces the file the user had at the target only with the complete new one.
TEST_F(IntegrityTest, DeliveryCrossesFileSystems) {
  struct stat shm {};
  struct stat disk {};
  if (stat("/dev/shm", &shm) != 0 || stat(dir_.path().c_str(), &disk) != 0 ||
      shm.st_dev == disk.st_dev) {
    GTEST_SKIP() << "no tmpfs at /dev/shm on another device than " << dir_.path();
  }
  char rootTemplate[] = "/dev/shm/zephyl_root_XXXXXX";
  ASSERT_NE(zephyl::test::makeTemporaryDirectory(rootTemplate), nullptr);
  const std::string root = rootTemplate;
  const std::vector<uint8_t> body = patternBytes(kSize, 9);
  server_.serve("/r", body);
  ZPSetting settings = settings_;
  settings.rootDir = root;
  for (int sink : {ZPRequest::OUTPUT_CHUNK_FILE, ZPRequest::OUTPUT_FILE}) {
    ZPRequest request = requestFor("/r", sink);
    std::filesystem::create_directories(std::filesystem::path(request.savePath).parent_path());
    {
      std::ofstream old(request.savePath);
      old << "the user's old file";
    }
    Zephyl manager(settings);
    ZPResponse response = manager.execute(request);
    ASSERT_TRUE(response.isSuccess()) << sinkName(sink) << " " << response.logString();
    EXPECT_EQ(response.getFile(), request.savePath);
    EXPECT_TRUE(readBytes(request.savePath) == body);
  }
  // What can go: on Windows the lock file the root's storage manager keeps open stays.
  (void)zephyl::fs::removeDirectory(root, true);
}

}  // namespace
