// The C interface as its hosts use it: a program written in C (c_host.c, built as C99 against the
// shared library only) and the Python example (ctypes alone) download from a loopback server of
// the test's own, byte for byte; and the calls a callback must not make are refused, not hung.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/test_proxy_server.h"
#include "zephyl/zephyl_c.h"

namespace zephyl {
namespace {

using test::md5HexOf;
using test::patternBytes;
using test::readBytes;
using test::readText;
using test::TempDir;
using test::TestHttpServer;

constexpr int kRunLimitMs = 120000;

class CInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    ASSERT_FALSE(work_.path().empty());
    // Dated, for the setting that keeps the server's time (c_host.c turns it on).
    test::Misbehaviour dated;
    dated.lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    server_.serve("/big.bin", big_, dated);
    server_.serve("/small.bin", small_);
  }

  // Four ranges of 1 MiB and a short tail; and a file shorter than one block.
  const std::vector<uint8_t> big_ = patternBytes(4 * 1048576 + 123, 31);
  const std::vector<uint8_t> small_ = patternBytes(100 * 1024 + 7, 32);
  TestHttpServer server_;
  TempDir work_;
};

// A host naming a file after a server's suggestion gets the library's mending through C, and a
// buffer too small is refused without a cut name in it.
TEST(CFileNameTest, SafeFileNameIsWrittenWholeOrNotAtAll) {
  char buffer[ZP_FILE_NAME_CAPACITY] = "unchanged";
  ASSERT_EQ(zp_safe_file_name("aux.txt", nullptr, buffer, sizeof buffer), ZP_OK);
  EXPECT_STREQ(buffer, "_aux.txt");
  ASSERT_EQ(zp_safe_file_name(". .", "a|b", buffer, sizeof buffer), ZP_OK);
  EXPECT_STREQ(buffer, "a_b");
  const std::string longest(300, 'x');
  ASSERT_EQ(zp_safe_file_name(longest.c_str(), nullptr, buffer, sizeof buffer), ZP_OK);
  EXPECT_EQ(std::string(buffer), std::string(255, 'x'));
  char small[4] = "abc";
  EXPECT_EQ(zp_safe_file_name("name.bin", nullptr, small, sizeof small), ZP_ERROR_INVALID_ARGUMENT);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(zp_safe_file_name(nullptr, nullptr, buffer, sizeof buffer), ZP_ERROR_NULL_ARGUMENT);
}

TEST_F(CInterfaceTest, ProgramWrittenInCDownloadsWithProgressAndABatch) {
  const std::string output = work_.file("c_host.out");
  const int exitCode = test::runProgram(
      C_HOST_BINARY, {server_.url(""), work_.path(), md5HexOf(big_), md5HexOf(small_)}, {}, output,
      kRunLimitMs);
  const std::string printed = readText(output);
  EXPECT_EQ(exitCode, 0) << printed;
  // Its only line: the library's log went to the program's callback, none to its output.
  EXPECT_TRUE(printed == "ok\n" || printed == "ok\r\n") << printed;
  const std::string log = readText(work_.file("log.txt"));
  EXPECT_NE(log.find("1 Zephyl execute complete"), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(log.find("BAD "), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(readBytes(work_.file("big.bin")), big_);
  EXPECT_EQ(readBytes(work_.file("big-from-batch.bin")), big_);
  EXPECT_TRUE(readBytes(work_.file("big-streamed.bin")) == big_);
  for (const char* name : {"big.bin", "big-from-batch.bin"}) {
    struct stat info {};
    ASSERT_EQ(stat(work_.file(name).c_str(), &info), 0);
    EXPECT_EQ(static_cast<int64_t>(info.st_mtime), 1445412480) << name;
  }
  // The setting's User-Agent and header on every request; the first download's own header and
  // credentials on its requests only.
  int ownRequests = 0;
  for (const test::SeenRequest& seen : server_.requests()) {
    SCOPED_TRACE(seen.target + " " + seen.range);
    const auto header = [&seen](const std::string& name) {
      const auto found = seen.headers.find(name);
      return found == seen.headers.end() ? std::string("<none>") : found->second;
    };
    EXPECT_EQ(header("user-agent"), "CHost/1");
    EXPECT_EQ(header("x-setting"), "s");
    EXPECT_EQ(header("x-dropped"), "<none>");
    const bool own = header("x-request") == "r";
    EXPECT_EQ(header("authorization"), own ? "Basic Y2Fyb2w6cHc=" : "<none>");
    if (own) ++ownRequests;
  }
  EXPECT_GE(ownRequests, 1);
}

TEST_F(CInterfaceTest, PythonExampleDownloadsWithCtypesAlone) {
#ifndef ZEPHYL_PYTHON_EXAMPLE
  GTEST_SKIP() << "the Python example runs on the build host only";
#else
  const std::string output = work_.file("python.out");
  std::map<std::string, std::string> env{{"ZEPHYL_LIBRARY", ZEPHYL_SHARED_LIBRARY}};
  // A sanitized library needs its run-time loaded first into a python3 that has none.
  if (std::string(ZEPHYL_SANITIZER_RUNTIME).size() > 0) {
    env["LD_PRELOAD"] = ZEPHYL_SANITIZER_RUNTIME;
    env["ASAN_OPTIONS"] = "detect_leaks=0";  // python3 itself keeps its memory until exit
  }
  const std::string target = work_.file("saved.bin");
  const int exitCode = test::runProgram(
      ZEPHYL_PYTHON3,
      {ZEPHYL_PYTHON_EXAMPLE, "--storage", work_.file("storage"), server_.url("/big.bin"), target},
      env, output, kRunLimitMs);
  const std::string printed = readText(output);
  EXPECT_EQ(exitCode, 0) << printed;
  EXPECT_EQ(readBytes(target), big_);
  EXPECT_NE(printed.find("md5 " + md5HexOf(big_)), std::string::npos) << printed;
  EXPECT_NE(printed.find("100%"), std::string::npos) << printed;
#endif
}

// What the completion callback of a queued request tried, and when it ran.
struct CallbackAttempts {
  zp_manager* manager = nullptr;
  const zp_batch* batch = nullptr;
  int freeStatus = 1;
  int batchStatus = 1;
  std::atomic<bool> done{false};
};

void tryForbiddenCalls(void* user, int32_t, const zp_response*) {
  auto* attempts = static_cast<CallbackAttempts*>(user);
  attempts->freeStatus = zp_manager_free(attempts->manager);
  zp_response* responses[1] = {nullptr};
  attempts->batchStatus =
      zp_manager_batch_execute(attempts->manager, attempts->batch, responses, 1);
  attempts->done = true;
}

// Freeing a manager from its own callback would destroy it under the running call; waiting for a
// batch there could wait for the very thread that runs the callback.
TEST_F(CInterfaceTest, CallbackCannotFreeItsManagerNorWaitForABatch) {
  zp_setting* setting = nullptr;
  ASSERT_EQ(zp_setting_create(work_.file("root").c_str(), work_.file("save").c_str(), &setting),
            ZP_OK);
  ASSERT_EQ(zp_setting_set_int(setting, ZP_SETTING_TASK_THREAD_NUM, 1), ZP_OK);
  zp_manager* manager = nullptr;
  ASSERT_EQ(zp_manager_create(setting, &manager), ZP_OK);
  zp_setting_free(setting);

  zp_request* request = nullptr;
  ASSERT_EQ(zp_request_create(server_.url("/small.bin").c_str(), &request), ZP_OK);
  ASSERT_EQ(zp_request_set_int(request, ZP_REQUEST_OUTPUT_TYPE, ZP_OUTPUT_MEMORY), ZP_OK);
  zp_batch* batch = nullptr;
  ASSERT_EQ(zp_batch_create(&batch), ZP_OK);
  ASSERT_EQ(zp_batch_add(batch, request), ZP_OK);
  CallbackAttempts attempts;
  attempts.manager = manager;
  attempts.batch = batch;
  ASSERT_EQ(zp_request_set_callbacks(request, nullptr, nullptr, tryForbiddenCalls, &attempts),
            ZP_OK);

  // Queued: the callback runs on the manager's only task thread.
  ASSERT_EQ(zp_manager_enqueue(manager, request), ZP_OK);
  for (int i = 0; i < 1000 && !attempts.done; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(attempts.done);
  EXPECT_EQ(attempts.freeStatus, ZP_ERROR_WRONG_THREAD);
  EXPECT_EQ(attempts.batchStatus, ZP_ERROR_WRONG_THREAD);

  // On the caller's thread, inside execute, the same holds; afterwards both are allowed.
  attempts.done = false;
  zp_response* response = nullptr;
  ASSERT_EQ(zp_manager_execute(manager, request, &response), ZP_OK);
  EXPECT_EQ(attempts.freeStatus, ZP_ERROR_WRONG_THREAD);
  zp_response_free(response);
  zp_response* responses[1] = {nullptr};
  ASSERT_EQ(zp_request_set_callbacks(request, nullptr, nullptr, nullptr, nullptr), ZP_OK);
  EXPECT_EQ(zp_manager_batch_execute(manager, batch, responses, 1), ZP_OK);
  int32_t result = -99;
  EXPECT_EQ(zp_response_get_codes(responses[0], &result, nullptr, nullptr), ZP_OK);
  EXPECT_EQ(result, ZP_RESULT_SUCCESS);
  zp_response_free(responses[0]);
  zp_batch_free(batch);
  zp_request_free(request);
  EXPECT_EQ(zp_manager_free(manager), ZP_OK);
}

TEST_F(CInterfaceTest, ProxySettingsCarryTheDownloadThroughTheProxy) {
  test::TestProxyServer proxy;
  ASSERT_TRUE(proxy.started());
  zp_setting* setting = nullptr;
  ASSERT_EQ(zp_setting_create(work_.file("root").c_str(), work_.file("save").c_str(), &setting),
            ZP_OK);
  ASSERT_EQ(zp_setting_set_string(setting, ZP_SETTING_PROXY, proxy.url().c_str()), ZP_OK);
  ASSERT_EQ(zp_setting_set_string(setting, ZP_SETTING_NO_PROXY, "example.com"), ZP_OK);
  EXPECT_EQ(zp_setting_set_int(setting, ZP_SETTING_USE_SYSTEM_PROXY, 2), ZP_ERROR_INVALID_ARGUMENT);
  ASSERT_EQ(zp_setting_set_int(setting, ZP_SETTING_USE_SYSTEM_PROXY, 0), ZP_OK);
  const char* text = nullptr;
  ASSERT_EQ(zp_setting_get_string(setting, ZP_SETTING_NO_PROXY, &text), ZP_OK);
  EXPECT_STREQ(text, "example.com");
  zp_manager* manager = nullptr;
  ASSERT_EQ(zp_manager_create(setting, &manager), ZP_OK);
  zp_setting_free(setting);
  zp_request* request = nullptr;
  ASSERT_EQ(zp_request_create(server_.url("/small.bin").c_str(), &request), ZP_OK);
  ASSERT_EQ(zp_request_set_int(request, ZP_REQUEST_OUTPUT_TYPE, ZP_OUTPUT_MEMORY), ZP_OK);
  zp_response* response = nullptr;
  ASSERT_EQ(zp_manager_execute(manager, request, &response), ZP_OK);
  int32_t result = -99;
  EXPECT_EQ(zp_response_get_codes(response, &result, nullptr, nullptr), ZP_OK);
  EXPECT_EQ(result, ZP_RESULT_SUCCESS);
  EXPECT_EQ(proxy.forwarded(), static_cast<int64_t>(server_.requestCount()));
  EXPECT_GT(proxy.forwarded(), 0);
  zp_response_free(response);
  zp_request_free(request);
  EXPECT_EQ(zp_manager_free(manager), ZP_OK);
}

// A proxy that cannot be reached is named as the proxy, by its cause and in the error text; with
// lasting failures not repeated the settings carry over the C interface. Every code a response
// carries has a text of its own.
TEST_F(CInterfaceTest, DeadProxyIsToldAsTheProxysFailure) {
  test::ClosedPort deadProxy;
  zp_setting* setting = nullptr;
  ASSERT_EQ(zp_setting_create(work_.file("root").c_str(), work_.file("save").c_str(), &setting),
            ZP_OK);
  ASSERT_EQ(zp_setting_set_string(setting, ZP_SETTING_PROXY, deadProxy.url("").c_str()), ZP_OK);
  ASSERT_EQ(zp_setting_set_int(setting, ZP_SETTING_REPEAT_LASTING_FAILURES, 0), ZP_OK);
  ASSERT_EQ(zp_setting_set_int(setting, ZP_SETTING_RETRY_DELAY_MS, 0), ZP_OK);
  int64_t repeats = -1;
  ASSERT_EQ(zp_setting_get_int(setting, ZP_SETTING_REPEAT_LASTING_FAILURES, &repeats), ZP_OK);
  EXPECT_EQ(repeats, 0);
  zp_manager* manager = nullptr;
  ASSERT_EQ(zp_manager_create(setting, &manager), ZP_OK);
  zp_setting_free(setting);
  zp_request* request = nullptr;
  ASSERT_EQ(zp_request_create(server_.url("/small.bin").c_str(), &request), ZP_OK);
  zp_response* response = nullptr;
  ASSERT_EQ(zp_manager_execute(manager, request, &response), ZP_OK);
  int32_t error = 0;
  int32_t cause = -1;
  const char* message = nullptr;
  EXPECT_EQ(zp_response_get_codes(response, nullptr, &error, nullptr), ZP_OK);
  EXPECT_EQ(zp_response_get_cause(response, &cause), ZP_OK);
  EXPECT_EQ(zp_response_get_error_message(response, &message), ZP_OK);
  EXPECT_EQ(error, ZP_BLOCK_HTTP_NETWORK_ERROR);
  EXPECT_EQ(cause, ZP_CAUSE_PROXY_UNREACHABLE);
  EXPECT_STREQ(zp_cause_text(cause), "the proxy cannot be reached");
  EXPECT_EQ(std::string(message).find("proxy " + deadProxy.host().substr(0, 9)), 0u) << message;
  EXPECT_EQ(server_.requestCount(), 0u);
  zp_response_free(response);
  zp_request_free(request);
  EXPECT_EQ(zp_manager_free(manager), ZP_OK);
  for (int code : {ZP_RESULT_SUCCESS, ZP_RESULT_FAILED, ZP_RESULT_CANCELLED, ZP_EXECUTE_ERROR,
                   ZP_BLOCK_HTTP_SERVER_ERROR, ZP_BLOCK_HTTP_NETWORK_ERROR, ZP_DATA_WRITE_ERROR,
                   ZP_ILLEGAL_URL, ZP_CACHE_ERROR, ZP_ILLEGAL_HEADER, ZP_ILLEGAL_PROXY,
                   ZP_CHECKSUM_MISMATCH, ZP_ILLEGAL_CHECKSUM, ZP_STREAM_ERROR, ZP_STREAM_STOPPED}) {
    EXPECT_STRNE(zp_result_text(code), "unknown code") << code;
  }
  EXPECT_STREQ(zp_result_text(ZP_CHECKSUM_MISMATCH), "checksum mismatch");
  EXPECT_STREQ(zp_result_text(12345), "unknown code");
  EXPECT_STREQ(zp_cause_text(ZP_CAUSE_CANCELLED), "cancelled");
}

// The rate limits: set before a download (4 MiB held to 32 KiB/s) and lifted while it runs; the
// manager's release then waits for the download, which ends at once.
TEST_F(CInterfaceTest, RateLimitsAreSetAndLiftedWhileTheDownloadRuns) {
  zp_setting* setting = nullptr;
  ASSERT_EQ(zp_setting_create(work_.file("root").c_str(), work_.file("save").c_str(), &setting),
            ZP_OK);
  ASSERT_EQ(zp_setting_set_int(setting, ZP_SETTING_MAX_BYTES_PER_SECOND, 64 * 1024), ZP_OK);
  zp_manager* manager = nullptr;
  ASSERT_EQ(zp_manager_create(setting, &manager), ZP_OK);
  zp_setting_free(setting);
  zp_request* request = nullptr;
  ASSERT_EQ(zp_request_create(server_.url("/big.bin").c_str(), &request), ZP_OK);
  ASSERT_EQ(zp_request_set_int(request, ZP_REQUEST_MAX_BYTES_PER_SECOND, 32 * 1024), ZP_OK);
  const std::string path = work_.file("limited.bin");
  ASSERT_EQ(zp_request_set_string(request, ZP_REQUEST_SAVE_PATH, path.c_str()), ZP_OK);
  int32_t id = 0;
  ASSERT_EQ(zp_request_get_id(request, &id), ZP_OK);
  ASSERT_EQ(zp_manager_enqueue(manager, request), ZP_OK);
  EXPECT_EQ(zp_manager_set_request_max_bytes_per_second(manager, id, 0), ZP_OK);
  EXPECT_EQ(zp_manager_set_request_max_bytes_per_second(manager, id + 1000, 0), ZP_ERROR_NOT_FOUND);
  EXPECT_EQ(zp_manager_set_max_bytes_per_second(manager, 0), ZP_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(zp_manager_free(manager), ZP_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(readBytes(path), big_);
  zp_request_free(request);
}

// A checksum set through the C calls is checked before delivery; the SHA-256 getter gives the
// result's digest.
TEST_F(CInterfaceTest, ChecksumIsCheckedAndSha256IsGiven) {
  zp_setting* setting = nullptr;
  ASSERT_EQ(zp_setting_create(work_.file("root").c_str(), work_.file("save").c_str(), &setting),
            ZP_OK);
  zp_manager* manager = nullptr;
  ASSERT_EQ(zp_manager_create(setting, &manager), ZP_OK);
  zp_setting_free(setting);
  const std::string sha256 = test::sha256HexOf(small_);
  for (const std::string& checksum : {"sha256:" + std::string(64, '1'), "sha256:" + sha256}) {
    zp_request* request = nullptr;
    ASSERT_EQ(zp_request_create(server_.url("/small.bin").c_str(), &request), ZP_OK);
    ASSERT_EQ(zp_request_set_string(request, ZP_REQUEST_CHECKSUM, checksum.c_str()), ZP_OK);
    zp_response* response = nullptr;
    ASSERT_EQ(zp_manager_execute(manager, request, &response), ZP_OK);
    int32_t error = 0;
    EXPECT_EQ(zp_response_get_codes(response, nullptr, &error, nullptr), ZP_OK);
    const char* digest = nullptr;
    EXPECT_EQ(zp_response_get_sha256(response, &digest), ZP_OK);
    const bool right = checksum.find(sha256) != std::string::npos;
    EXPECT_EQ(error, right ? 0 : ZP_CHECKSUM_MISMATCH) << checksum;
    EXPECT_EQ(std::string(digest), right ? sha256 : "") << checksum;
    // The answer's status and headers, whether the check passed or not.
    int32_t httpCode = 0;
    EXPECT_EQ(zp_response_get_http_code(response, &httpCode), ZP_OK);
    EXPECT_TRUE(httpCode == 200 || httpCode == 206) << httpCode << " " << checksum;
    const char* type = nullptr;
    EXPECT_EQ(zp_response_get_header(response, "Content-TYPE", &type), ZP_OK);
    EXPECT_STREQ(type, "application/octet-stream");
    EXPECT_EQ(zp_response_get_header(response, "X-None", &type), ZP_ERROR_NOT_FOUND);
    zp_response_free(response);
    zp_request_free(request);
  }
  EXPECT_EQ(zp_manager_free(manager), ZP_OK);
}

}  // namespace
}  // namespace zephyl
