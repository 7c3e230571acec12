// The metrics library stand-in that libzephyl uploads its records to.
#include "pelvar/pelvar.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;

struct Outcome {
  bool success;
  std::string message;
  std::thread::id thread;
};

// Upload callbacks are plain function pointers, so what they see is kept here.
struct CallbackLog {
  std::mutex mutex;
  std::vector<Outcome> outcomes;  // guarded by mutex
  std::atomic<bool> shutdownRefused{false};
};
CallbackLog callbackLog;

void recordOutcome(PelvarResponse& response) {
  std::lock_guard<std::mutex> lock(callbackLog.mutex);
  callbackLog.outcomes.push_back(
      {response.isSuccess(), response.message(), std::this_thread::get_id()});
}

void slowCallback(PelvarResponse& response) {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  recordOutcome(response);
}

void shutdownFromCallback(PelvarResponse& response) {
  callbackLog.shutdownRefused = !Pelvar_Shutdown();
  recordOutcome(response);
}

void throwingCallback(PelvarResponse&) { throw std::runtime_error("host callback failed"); }

std::vector<Outcome> outcomes() {
  std::lock_guard<std::mutex> lock(callbackLog.mutex);
  return callbackLog.outcomes;
}

void upload(const char* type, const char* body, PelvarCallback callback = recordOutcome) {
  PelvarRequest* request = PelvarRequest_Create(type, body);
  ASSERT_NE(request, nullptr);
  Pelvar_UploadASync(Pelvar_Global(), request, callback);
  PelvarRequest_Destroy(request);
}

class PelvarTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zephyl-pelvar-XXXXXX";
    ASSERT_NE(zephyl::test::makeTemporaryDirectory(pattern), nullptr);
    dir_ = pattern;
    ASSERT_TRUE(Pelvar_Shutdown());
    Pelvar_ClearUploaded();
    std::lock_guard<std::mutex> lock(callbackLog.mutex);
    callbackLog.outcomes.clear();
  }
  void TearDown() override {
    Pelvar_Shutdown();
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> readLines(const std::string& path) const {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string dir_;
};

TEST_F(PelvarTest, GlobalIsNullUntilInitAndAfterShutdown) {
  EXPECT_EQ(Pelvar_Global(), nullptr);
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{}));
  Pelvar* first = Pelvar_Global();
  EXPECT_NE(first, nullptr);
  EXPECT_FALSE(Pelvar_Init(PelvarConfig{})) << "a second init replaced the metrics object";
  EXPECT_EQ(Pelvar_Global(), first);
  EXPECT_TRUE(Pelvar_Shutdown());
  EXPECT_EQ(Pelvar_Global(), nullptr);
}

TEST_F(PelvarTest, CallbackRunsLaterOnTheLibrarysOwnThread) {
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{}));
  upload("app_performance", "{\"a\": 1}");
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  const std::vector<Outcome> seen = outcomes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].success);
  EXPECT_EQ(seen[0].message, "{\"code\":0}");
  EXPECT_NE(seen[0].thread, std::this_thread::get_id());
}

TEST_F(PelvarTest, RequestIsCopiedSoItMayBeDestroyedAtOnce) {
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{}));
  std::string type = "app_performance";
  std::string body = "{\"k\": \"value\"}";
  PelvarRequest* request = PelvarRequest_Create(type.c_str(), body.c_str());
  Pelvar_UploadASync(Pelvar_Global(), request, slowCallback);
  PelvarRequest_Destroy(request);
  // Overwrite the caller's buffers too: the delivery must not read them.
  type.assign(type.size(), 'x');
  body.assign(body.size(), 'y');
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  const std::vector<PelvarRecord> kept = Pelvar_Uploaded();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].type, "app_performance");
  EXPECT_EQ(kept[0].body, "{\"k\": \"value\"}");
}

TEST_F(PelvarTest, AppendsEachBodyAsOneCompactJsonLine) {
  const std::string path = dir_ + "/metrics.jsonl";
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{path}));
  upload("app_performance", "{\n\t\"name\":\t\"first\",\n\t\"list\":\t[1, 2]\n}");
  upload("app_performance",
         "{\n\t\"name\":\t\"second\",\n\t\"label\":\t{\n\t\t\"x\":\t\"a b\"\n\t}\n}");
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  EXPECT_EQ(readLines(path),
            (std::vector<std::string>{"{\"name\":\"first\",\"list\":[1,2]}",
                                      "{\"name\":\"second\",\"label\":{\"x\":\"a b\"}}"}));
  // The file is appended to, also across a new initialisation.
  ASSERT_TRUE(Pelvar_Shutdown());
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{path}));
  upload("app_performance", "[3]");
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  const std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "[3]");
}

TEST_F(PelvarTest, BodyThatIsNotJsonFailsAndIsNotKept) {
  const std::string path = dir_ + "/metrics.jsonl";
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{path}));
  upload("app_performance", "{\"cut\": ");
  upload("app_performance", "{} trailing");
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  const std::vector<Outcome> seen = outcomes();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].success);
  EXPECT_FALSE(seen[1].success);
  EXPECT_EQ(seen[0].message, "body is not JSON");
  EXPECT_TRUE(Pelvar_Uploaded().empty());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(PelvarTest, UnwritableJsonLinesFileFailsTheUpload) {
  // The configured path is a directory: it cannot be opened for appending.
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{dir_}));
  upload("app_performance", "{}");
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  const std::vector<Outcome> seen = outcomes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].success);
  EXPECT_EQ(seen[0].message.rfind("cannot open " + dir_ + ": ", 0), 0u) << seen[0].message;
  EXPECT_TRUE(Pelvar_Uploaded().empty());
}

TEST_F(PelvarTest, ShutdownDeliversEveryPendingUploadFirst) {
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{}));
  for (int i = 0; i < 5; ++i) upload("app_performance", "{}", slowCallback);
  ASSERT_TRUE(Pelvar_Shutdown());
  EXPECT_EQ(outcomes().size(), 5u);
  EXPECT_EQ(Pelvar_Uploaded().size(), 5u);
}

TEST_F(PelvarTest, ShutdownFromCallbackIsRefusedInsteadOfDeadlocking) {
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{}));
  upload("app_performance", "{}", shutdownFromCallback);
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  EXPECT_TRUE(callbackLog.shutdownRefused.load());
  EXPECT_NE(Pelvar_Global(), nullptr);
}

TEST_F(PelvarTest, ThrowingCallbackLeavesDeliveryRunning) {
  ASSERT_TRUE(Pelvar_Init(PelvarConfig{}));
  upload("app_performance", "{}", throwingCallback);
  upload("app_performance", "[1]");
  ASSERT_TRUE(Pelvar_WaitDelivered(kWaitMs));
  const std::vector<Outcome> seen = outcomes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].success);
  EXPECT_EQ(Pelvar_Uploaded().size(), 2u);
}

}  // namespace
