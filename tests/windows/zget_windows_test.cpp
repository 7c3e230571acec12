// zget.exe as a Windows user runs it: a child process that downloads from a loopback server of
// the test's own into a directory, byte for byte, under a name taken from the URL (also one
// outside the code page, which must reach the disk as its UTF-16 name).
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/process_windows.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

namespace zephyl {
namespace {

using test::readBytes;

constexpr DWORD kRunLimitMs = 60000;

// zget with arguments, its output going to outputPath: see startProcess.
HANDLE startZget(const std::vector<std::string>& arguments, const std::string& outputPath,
                 DWORD creationFlags = 0, DWORD* processId = nullptr) {
  return test::startProcess(ZGET_BINARY, arguments, {}, outputPath, creationFlags, processId);
}

int waitForZget(HANDLE process) { return test::waitForProcess(process, kRunLimitMs); }

int runZget(const std::vector<std::string>& arguments, const std::string& outputPath) {
  return waitForZget(startZget(arguments, outputPath));
}

struct NamedDownload {
  const char* label;
  const char* urlPath;    // as the server serves it
  const char* savedName;  // UTF-8 name zget gives the file
};

class ZgetWindowsTest : public testing::TestWithParam<NamedDownload> {};

TEST_P(ZgetWindowsTest, DownloadsByteExactUnderTheUrlsName) {
  const NamedDownload& download = GetParam();
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  // Several ranges of 64 KiB, fetched four at a time, with a CR LF and Ctrl-Z among the bytes.
  const std::vector<uint8_t> body = test::patternBytes(1000000, 5);
  server.serve(download.urlPath, body);

  const std::string output = dir.file("output.txt");
  const int status = runZget({"-q", "-x", "4", "-k", "64K", "-d", dir.file("out"), "--cache-dir",
                              dir.file("cache"), server.url(download.urlPath)},
                             output);
  const std::vector<uint8_t> printed = readBytes(output);
  EXPECT_EQ(status, 0) << std::string(printed.begin(), printed.end());
  const std::string saved = dir.file("out") + "/" + download.savedName;
  EXPECT_NE(GetFileAttributesW(utf8ToUtf16(saved).c_str()), INVALID_FILE_ATTRIBUTES) << saved;
  EXPECT_TRUE(readBytes(saved) == body);
  EXPECT_GE(server.requestCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Names, ZgetWindowsTest,
                         testing::Values(NamedDownload{"Ascii", "/file.bin", "file.bin"},
                                         NamedDownload{"Cyrillic", "/%D1%84%D0%B0%D0%B9%D0%BB.bin",
                                                       "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin"}),
                         [](const testing::TestParamInfo<NamedDownload>& info) {
                           return std::string(info.param.label);
                         });

// Two processes on one cache for one URL: the key lock lets one write at a time, the other
// waits and then resumes or finds the download delivered; both files come out whole.
TEST(ZgetProcessesTest, TwoProcessesOnOneCacheTakeTurnsAndBothDeliver) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  const std::vector<uint8_t> body = test::patternBytes(512 * 1024, 6);
  test::Misbehaviour slow;
  slow.stallAfterBytes = 32 * 1024;  // each answer pauses, so that the two runs overlap
  slow.stallMs = 200;
  server.serve("/shared.bin", body, slow);

  std::vector<HANDLE> runs;
  for (const char* name : {"one", "two"}) {
    runs.push_back(startZget({"-q", "-x", "2", "-k", "64K", "-d", dir.file(name), "--cache-dir",
                              dir.file("cache"), server.url("/shared.bin")},
                             dir.file(std::string(name) + ".txt")));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string name = i == 0 ? "one" : "two";
    const int status = waitForZget(runs[i]);
    const std::vector<uint8_t> printed = readBytes(dir.file(name + ".txt"));
    EXPECT_EQ(status, 0) << name << ": " << std::string(printed.begin(), printed.end());
    EXPECT_TRUE(readBytes(dir.file(name) + "/shared.bin") == body) << name;
  }
}

// Ctrl-C in zget's own console stops the download as on Linux: exit status 130, the stored part
// kept; the same command again finishes the download byte for byte.
TEST(ZgetProcessesTest, CtrlCStopsCleanlyAndTheRerunFinishes) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  const std::vector<uint8_t> body = test::patternBytes(1024 * 1024, 7);
  test::Misbehaviour slow;
  slow.stallAfterBytes = 64 * 1024;
  slow.stallMs = 3000;  // every range pauses after its first 64 KiB
  server.serve("/slow.bin", body, slow);
  const std::vector<std::string> arguments = {"-q",
                                              "-x",
                                              "2",
                                              "-k",
                                              "256K",
                                              "-d",
                                              dir.file("out"),
                                              "--cache-dir",
                                              dir.file("cache"),
                                              server.url("/slow.bin")};
  DWORD processId = 0;
  HANDLE run = startZget(arguments, dir.file("first.txt"), CREATE_NEW_CONSOLE, &processId);
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(server.waitForRequests(2, 20000));
  // Sent from inside zget's console, which this process joins for the moment, ignoring the
  // event itself.
  FreeConsole();
  bool sent = false;
  DWORD error = 0;
  if (AttachConsole(processId)) {
    SetConsoleCtrlHandler(nullptr, TRUE);
    sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
    error = GetLastError();
    FreeConsole();
  } else {
    error = GetLastError();
  }
  if (!sent) {
    TerminateProcess(run, 1);
    waitForZget(run);
    GTEST_SKIP() << "Ctrl-C cannot be sent to another console here (error " << error << ")";
  }
  const int status = waitForZget(run);
  SetConsoleCtrlHandler(nullptr, FALSE);
  const std::vector<uint8_t> printed = readBytes(dir.file("first.txt"));
  EXPECT_EQ(status, 130) << std::string(printed.begin(), printed.end());
  EXPECT_NE(std::string(printed.begin(), printed.end()).find("interrupted"), std::string::npos);

  server.serve("/slow.bin", body);
  EXPECT_EQ(runZget(arguments, dir.file("second.txt")), 0);
  EXPECT_TRUE(readBytes(dir.file("out") + "/slow.bin") == body);
}

}  // namespace
}  // namespace zephyl
