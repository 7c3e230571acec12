// zget.exe as a Windows user runs it: a child process that downloads from a loopback server of
// the test's own into a directory, byte for byte, under a name taken from the URL, given on the
// command line or in a list (also names outside the code page, which must reach the disk as
// their UTF-16 names and the output as UTF-8).
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wide_files_windows.h"

namespace zephyl {
namespace {

using test::readBytes;
using test::readText;

using test::existsAsUtf16;
using test::runZget;
using test::startZget;
using test::waitForZget;
using test::writeFileAsUtf16;

// Names outside ASCII: Western ones in the ANSI code page and Chinese and Greek ones outside it,
// which argv would have carried as "?".
const std::string kWestern = "\xC3\xBCn\xC3\xAF\x63\xC3\xB8\x64\xC3\xA9 dir";  // ünïcødé dir
const std::string kChinese = "\xE4\xB8\x8B\xE8\xBD\xBD";                       // 下载
const std::string kGreek = "\xCE\xBB\xCE\xAE\xCF\x88\xCE\xB7";                 // λήψη

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

// One download to a place named outside ASCII, given on the command line.
struct UnicodePlace {
  const char* label;
  // zget's arguments before the URL; "@" at the start of one stands for the test's directory.
  std::vector<std::string> arguments;
  std::string savedAs;        // where the file must land, relative to the test's directory
  std::string caCertificate;  // a file to make before the run, relative to it; empty: none
};

void PrintTo(const UnicodePlace& place, std::ostream* out) { *out << place.label; }

class ZgetUnicodePlaceTest : public testing::TestWithParam<UnicodePlace> {};

// Each run also prints the MD5 line (--md5) with the file's path, which must arrive as UTF-8.
TEST_P(ZgetUnicodePlaceTest, SavesUnderTheUtf16NameAndPrintsItAsUtf8) {
  const UnicodePlace& place = GetParam();
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  const std::vector<uint8_t> body = test::patternBytes(200000, 8);
  server.serve("/file.bin", body);
  if (!place.caCertificate.empty()) {
    ASSERT_TRUE(writeFileAsUtf16(dir.file(place.caCertificate), "-----BEGIN CERTIFICATE-----\n"));
  }

  std::vector<std::string> arguments = {"-q", "--md5", "-k", "64K"};
  for (const std::string& argument : place.arguments) {
    arguments.push_back(argument[0] == '@' ? dir.path() + argument.substr(1) : argument);
  }
  arguments.push_back(server.url("/file.bin"));
  const std::string output = dir.file("output.txt");
  const int status = runZget(arguments, output);
  const std::string printed = readText(output);
  EXPECT_EQ(status, 0) << printed;
  const std::string saved = dir.file(place.savedAs);
  EXPECT_TRUE(existsAsUtf16(saved)) << saved;
  EXPECT_TRUE(readBytes(saved) == body) << saved;
  const std::string name = place.savedAs.substr(place.savedAs.rfind('/') + 1);
  EXPECT_NE(printed.find(test::md5HexOf(body) + "  "), std::string::npos) << printed;
  EXPECT_NE(printed.find(name), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Places, ZgetUnicodePlaceTest,
    testing::Values(
        UnicodePlace{"WesternDirectory",
                     {"-d", "@/" + kWestern, "--cache-dir", "@/cache"},
                     kWestern + "/file.bin",
                     ""},
        // Backslashes as a Windows user types them, a Chinese name below a Western one.
        UnicodePlace{"ChineseDirectoryWithBackslashes",
                     {"-d", "@\\" + kWestern + "\\" + kChinese, "--cache-dir", "@/cache"},
                     kWestern + "/" + kChinese + "/file.bin",
                     ""},
        UnicodePlace{"GreekOutputFile",
                     {"-o", "@/" + kChinese + "/" + kGreek + ".bin", "--cache-dir", "@/cache"},
                     kChinese + "/" + kGreek + ".bin",
                     ""},
        UnicodePlace{"CacheDirectory",
                     {"-d", "@/out", "--cache-dir", "@/" + kGreek + " " + kChinese},
                     "out/file.bin",
                     ""},
        UnicodePlace{"CaCertificate",
                     {"-d", "@/out", "--cache-dir", "@/cache", "--ca-certificate",
                      "@/" + kChinese + " " + kWestern + ".pem"},
                     "out/file.bin",
                     kChinese + " " + kWestern + ".pem"}),
    [](const testing::TestParamInfo<UnicodePlace>& info) { return std::string(info.param.label); });

// A list named outside ASCII, saved by an editor with a byte-order mark, whose entries name
// files and directories in Greek and Chinese.
TEST(ZgetUnicodeListTest, ListEntriesNamedOutsideAsciiLandUnderTheirNames) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  const std::vector<uint8_t> first = test::patternBytes(70000, 9);
  const std::vector<uint8_t> second = test::patternBytes(90000, 10);
  server.serve("/a.bin", first);
  server.serve("/b.bin", second);
  const std::string list = dir.file(kChinese + " " + kWestern + ".txt");
  ASSERT_TRUE(writeFileAsUtf16(list, "\xEF\xBB\xBF" + server.url("/a.bin") + "\r\n  out=" + kGreek +
                                  ".bin\r\n" + server.url("/b.bin") + "\r\n  dir=" + kWestern +
                                  "\r\n  out=" + kChinese + ".bin\r\n"));

  const std::string output = dir.file("output.txt");
  const int status = runZget(
      {"-q", "--md5", "-i", list, "-d", dir.file("out"), "--cache-dir", dir.file("cache")}, output);
  const std::string printed = readText(output);
  EXPECT_EQ(status, 0) << printed;
  const struct {
    std::string path;
    const std::vector<uint8_t>& body;
  } files[] = {{dir.file("out/" + kGreek + ".bin"), first},
               {dir.file("out/" + kWestern + "/" + kChinese + ".bin"), second}};
  for (const auto& file : files) {
    EXPECT_TRUE(existsAsUtf16(file.path)) << file.path;
    EXPECT_TRUE(readBytes(file.path) == file.body) << file.path;
    EXPECT_NE(printed.find(test::md5HexOf(file.body) + "  " + file.path), std::string::npos)
        << printed;
  }
}

// A cache directory holding a file named outside ASCII is refused with status 1 before anything
// is downloaded, and the message names the file in UTF-8.
TEST(ZgetUnicodeCacheTest, ForeignFileNamedOutsideAsciiIsNamedInTheRefusal) {
  test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  test::TestHttpServer server;
  ASSERT_TRUE(server.started());
  server.serve("/file.bin", test::patternBytes(1000, 11));
  const std::string foreign = kGreek + " " + kChinese + ".txt";
  ASSERT_TRUE(CreateDirectoryW(utf8ToUtf16(dir.file("cache")).c_str(), nullptr));
  ASSERT_TRUE(writeFileAsUtf16(dir.file("cache/" + foreign), "the user's own"));

  const std::string output = dir.file("output.txt");
  const int status = runZget(
      {"-q", "-d", dir.file("out"), "--cache-dir", dir.file("cache"), server.url("/file.bin")},
      output);
  const std::string printed = readText(output);
  EXPECT_EQ(status, 1) << printed;
  EXPECT_EQ(printed.rfind("zget: ", 0), 0u) << printed;
  EXPECT_NE(printed.find(foreign), std::string::npos) << printed;
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_TRUE(existsAsUtf16(dir.file("cache/" + foreign)));
}

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
