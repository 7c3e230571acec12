// zget.exe as a Windows user runs it: a child process that downloads from a loopback server of
// the test's own into a directory, byte for byte, under a name taken from the URL (also one
// outside the code page, which must reach the disk as its UTF-16 name).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "storage/file_handle.h"
#include "storage/fs.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

namespace zephyl {
namespace {

constexpr DWORD kRunLimitMs = 60000;

// Runs zget with arguments (each quoted; none holds a quote), its output going to outputPath.
// The exit code, or -1 when it could not start or had to be ended after kRunLimitMs.
int runZget(const std::vector<std::string>& arguments, const std::string& outputPath) {
  std::wstring commandLine = L"\"" + utf8ToUtf16(ZGET_BINARY) + L"\"";
  for (const std::string& argument : arguments) {
    commandLine += L" \"" + utf8ToUtf16(argument) + L"\"";
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileW(utf8ToUtf16(outputPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) return -1;
  DWORD exitCode = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, kRunLimitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, kRunLimitMs);
  } else {
    GetExitCodeProcess(process.hProcess, &exitCode);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

std::vector<uint8_t> readFile(const std::string& path) {
  FileHandle file(fs::fOpenFile(path, "rb"));
  std::vector<uint8_t> content;
  if (!file) return content;
  uint8_t buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    content.insert(content.end(), buffer, buffer + got);
  }
  return content;
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
  const std::vector<uint8_t> printed = readFile(output);
  EXPECT_EQ(status, 0) << std::string(printed.begin(), printed.end());
  const std::string saved = dir.file("out") + "/" + download.savedName;
  EXPECT_NE(GetFileAttributesW(utf8ToUtf16(saved).c_str()), INVALID_FILE_ATTRIBUTES) << saved;
  EXPECT_TRUE(readFile(saved) == body);
  EXPECT_GE(server.requestCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ZgetWindowsTest,
    testing::Values(NamedDownload{"Ascii", "/file.bin", "file.bin"},
                    NamedDownload{"Cyrillic", "/%D1%84%D0%B0%D0%B9%D0%BB.bin",
                                  "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin"}),
    [](const testing::TestParamInfo<NamedDownload>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zephyl
