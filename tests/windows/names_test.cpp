// Names and paths that Windows treats apart: device names (CON, AUX, NUL, COM1...), characters
// no file name holds, network shares and "\\?\" paths, names that differ only in case. A name
// zget or the library derives is mended and lands inside its directory; a path given explicitly
// is refused before the first byte, or reaches the system as written. Nothing ever lands at a
// drive's root.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wide_files_windows.h"
#include "zephyl/zephyl.h"

namespace zephyl {
namespace {

using test::readBytes;
using test::readText;

// A server that no test machine has: a path to a share on it must fail, naming it.
const std::string kMissingServer = "zephyl-nosuchserver";

using test::existsAsUtf16;
using test::writeFileAsUtf16;

// The names at the roots of the drives a stray file would reach: C: (the temporary directory's),
// and Z: (Wine's view of the host's root, the drive of the build directory).
std::set<std::wstring> driveRootEntries() {
  std::set<std::wstring> names;
  for (const wchar_t* root : {L"C:\\", L"Z:\\"}) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((std::wstring(root) + L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      names.insert(std::wstring(root) + entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  return names;
}

// Runs zget with the test's directory as its current directory (a relative -d is below it).
int runZgetIn(const std::string& directory, const std::vector<std::string>& arguments,
              const std::string& outputPath) {
  wchar_t before[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, before);
  SetCurrentDirectoryW(utf8ToUtf16(directory).c_str());
  const int status = test::runZget(arguments, outputPath);
  SetCurrentDirectoryW(before);
  return status;
}

class WindowsNamesTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(server_.started());
    rootsBefore_ = driveRootEntries();
  }
  void TearDown() override { EXPECT_EQ(driveRootEntries(), rootsBefore_); }

  // zget with arguments, quiet unless told otherwise, and a cache of its own unless they name one.
  int zget(std::vector<std::string> arguments, bool quiet = true) {
    if (std::find(arguments.begin(), arguments.end(), "--cache-dir") == arguments.end()) {
      arguments.insert(arguments.begin(), {"--cache-dir", dir_.file("cache")});
    }
    if (quiet) arguments.insert(arguments.begin(), "-q");
    const int status = runZgetIn(dir_.path(), arguments, dir_.file("output.txt"));
    printed_ = readText(dir_.file("output.txt"));
    return status;
  }

  test::TempDir dir_;
  test::TestHttpServer server_;
  std::string printed_;
  std::set<std::wstring> rootsBefore_;
};

// Each device name, with and without an extension, in several cases, from a URL and from a
// list's out=; forbidden characters from a URL, out= and Content-Disposition. A relative -d
// that does not exist yet: the files once landed at the drive's root, and "sub" was never made.
TEST_F(WindowsNamesTest, DerivedNamesAreMendedAndLandInsideTheDirectory) {
  const struct {
    std::string urlPath;
    std::string out;    // the list's out=, empty for none
    std::string saved;  // below -d
  } entries[] = {
      {"/a/aux.txt", "", "_aux.txt"},       {"/CON", "", "_CON"},
      {"/b/Com1.bin", "", "_Com1.bin"},     {"/lpt9", "", "_lpt9"},
      {"/PRN.tar.gz", "", "_PRN.tar.gz"},   {"/c", "nul.txt", "_nul.txt"},
      {"/d", "NuL", "_NuL"},                {"/e", "x/conout$.log", "x/_conout$.log"},
      {"/report%7Cfinal%3F.bin", "", "report_final_.bin"},
      {"/f", "a<b>*.bin", "a_b__.bin"},     {"/...", "", "index.html"},
  };
  std::string list;
  int seed = 20;
  for (const auto& entry : entries) {
    server_.serve(entry.urlPath, test::patternBytes(3000, ++seed));
    list += server_.url(entry.urlPath) + "\r\n";
    if (!entry.out.empty()) list += "  out=" + entry.out + "\r\n";
  }
  test::Misbehaviour named;
  named.contentDisposition = "attachment; filename=\"q*x|y?.txt\"";
  server_.serve("/served.bin", test::patternBytes(3000, 99), named);
  list += server_.url("/served.bin") + "\r\n";
  ASSERT_TRUE(writeFileAsUtf16(dir_.file("list.txt"), list));

  EXPECT_EQ(zget({"--content-disposition", "-i", dir_.file("list.txt"), "-d", "sub"}), 0)
      << printed_;
  seed = 20;
  for (const auto& entry : entries) {
    const std::string saved = dir_.file("sub/" + entry.saved);
    EXPECT_TRUE(readBytes(saved) == test::patternBytes(3000, ++seed)) << saved << "\n" << printed_;
  }
  EXPECT_TRUE(readBytes(dir_.file("sub/q_x_y_.txt")) == test::patternBytes(3000, 99)) << printed_;
}

struct ExplicitPath {
  const char* label;
  std::string output;  // -o, relative to the test's directory
  std::string named;   // what the refusal must name
};

void PrintTo(const ExplicitPath& path, std::ostream* out) { *out << path.label; }

class WindowsExplicitNameTest : public WindowsNamesTest,
                                public testing::WithParamInterface<ExplicitPath> {};

// A name the user typed is theirs: not mended, but refused before anything is fetched (it once
// fetched the whole file and then failed with "Unknown error", or wrote to a drive's root).
TEST_P(WindowsExplicitNameTest, IsRefusedBeforeTheFirstByteNamingTheFault) {
  server_.serve("/file.bin", test::patternBytes(5000, 3));
  EXPECT_EQ(zget({"-o", GetParam().output, server_.url("/file.bin")}), 2) << printed_;
  EXPECT_NE(printed_.find(GetParam().named), std::string::npos) << printed_;
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_FALSE(existsAsUtf16(dir_.file("sub")));
}

INSTANTIATE_TEST_SUITE_P(
    Names, WindowsExplicitNameTest,
    testing::Values(ExplicitPath{"Aux", "aux", "aux"},
                    ExplicitPath{"NulWithExtension", "NUL.txt", "NUL.txt"},
                    ExplicitPath{"Com9InSubdirectory", "sub\\com9.tar.gz", "com9.tar.gz"},
                    ExplicitPath{"DeviceAsDirectory", "sub/Lpt1/x.bin", "Lpt1"},
                    ExplicitPath{"Bar", "report|final.bin", "'|'"},
                    ExplicitPath{"Question", "sub/what?.bin", "'?'"},
                    ExplicitPath{"Star", "all*.bin", "'*'"}),
    [](const testing::TestParamInfo<ExplicitPath>& info) { return std::string(info.param.label); });

struct SharePath {
  const char* label;
  std::vector<std::string> arguments;  // before the URL
};

void PrintTo(const SharePath& path, std::ostream* out) { *out << path.label; }

class WindowsShareTest : public WindowsNamesTest, public testing::WithParamInterface<SharePath> {};

// A share was made a folder of the current drive ("Z:/server/share/dl", "C:/?/UNC/...").
TEST_P(WindowsShareTest, MissingShareFailsNamingItAndNothingIsWrittenElsewhere) {
  server_.serve("/file.bin", test::patternBytes(5000, 4));
  std::vector<std::string> arguments = GetParam().arguments;
  arguments.push_back(server_.url("/file.bin"));
  EXPECT_EQ(zget(arguments), 1) << printed_;
  EXPECT_NE(printed_.find(kMissingServer), std::string::npos) << printed_;
  EXPECT_EQ(server_.requestCount(), 0u);
  const std::string strays[] = {dir_.file(kMissingServer), "C:\\" + kMissingServer,
                                "Z:\\" + kMissingServer, "C:\\?", dir_.file("?")};
  for (const std::string& stray : strays) {
    EXPECT_FALSE(existsAsUtf16(stray)) << stray;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WindowsShareTest,
    testing::Values(
        SharePath{"BackslashDirectory", {"-d", "\\\\" + kMissingServer + "\\share\\dl"}},
        SharePath{"SlashDirectory", {"-d", "//" + kMissingServer + "/share"}},
        SharePath{"LongUncDirectory", {"-d", "\\\\?\\UNC\\" + kMissingServer + "\\share"}},
        SharePath{"OutputFile", {"-o", "\\\\" + kMissingServer + "\\share\\x.bin"}},
        SharePath{"CacheDirectory",
                  {"--cache-dir", "\\\\" + kMissingServer + "\\share\\cache", "-d", "out"}}),
    [](const testing::TestParamInfo<SharePath>& info) { return std::string(info.param.label); });

// Both were reported saved with --allow-overwrite, and one file held the second's content.
TEST_F(WindowsNamesTest, NamesDifferingOnlyInCaseGetTwoFiles) {
  const std::vector<uint8_t> upper = test::patternBytes(4000, 5);
  const std::vector<uint8_t> lower = test::patternBytes(4000, 6);
  server_.serve("/one/File.bin", upper);
  server_.serve("/two/file.bin", lower);
  ASSERT_TRUE(writeFileAsUtf16(dir_.file("list.txt"), server_.url("/one/File.bin") + "\r\n" +
                                                   server_.url("/two/file.bin") + "\r\n"));
  EXPECT_EQ(
      zget({"--allow-overwrite", "-i", dir_.file("list.txt"), "-d", dir_.file("out")}, false), 0)
      << printed_;
  EXPECT_TRUE(readBytes(dir_.file("out/File.bin")) == upper) << printed_;
  EXPECT_TRUE(readBytes(dir_.file("out/file(1).bin")) == lower) << printed_;
  EXPECT_NE(printed_.find("differ only in case"), std::string::npos) << printed_;
}

// The library itself, for a host that names its own paths: a device name or a forbidden
// character in savePath, or a share that is not there, fails before the first byte, and the
// message names the fault.
struct LibraryTarget {
  const char* label;
  std::string savePath;  // "@" at the start stands for the test's directory
  std::string named;
};

void PrintTo(const LibraryTarget& target, std::ostream* out) { *out << target.label; }

class WindowsLibraryTargetTest : public WindowsNamesTest,
                                 public testing::WithParamInterface<LibraryTarget> {};

TEST_P(WindowsLibraryTargetTest, UnusableTargetFailsBeforeTheFirstByte) {
  server_.serve("/file.bin", test::patternBytes(5000, 7));
  ZPSetting setting(dir_.file("root"), dir_.file("save"));
  setting.httpPolicy.executeRetryCount = 0;
  Zephyl manager(setting);
  ZPRequest request(server_.url("/file.bin"));
  const std::string& path = GetParam().savePath;
  request.savePath = path[0] == '@' ? dir_.path() + path.substr(1) : path;
  const ZPResponse response = manager.execute(request);
  EXPECT_FALSE(response.isSuccess());
  EXPECT_NE(response.errorMsg.find(GetParam().named), std::string::npos) << response.errorMsg;
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_FALSE(existsAsUtf16("C:\\" + kMissingServer));
  EXPECT_FALSE(existsAsUtf16("Z:\\" + kMissingServer));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WindowsLibraryTargetTest,
    testing::Values(LibraryTarget{"Con", "@\\out\\con", "\"con\""},
                    LibraryTarget{"AuxWithExtension", "@/out/Aux.txt", "\"Aux.txt\""},
                    LibraryTarget{"Lt", "@/out/a<b.bin", "'<'"},
                    LibraryTarget{"Share", "\\\\" + kMissingServer + "\\share\\x.bin",
                                  kMissingServer},
                    LibraryTarget{"LongShare", "\\\\?\\UNC\\" + kMissingServer + "\\share\\x.bin",
                                  kMissingServer}),
    [](const testing::TestParamInfo<LibraryTarget>& info) {
      return std::string(info.param.label);
    });

}  // namespace
}  // namespace zephyl
