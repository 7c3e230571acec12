// The parts of zget that decide by themselves: file names, sizes and durations, the list file,
// the command line and the settings made of it, the storage root check and the words for
// failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "failure_text.h"
#include "input_list.h"
#include "naming.h"
#include "options.h"
#include "storage_root.h"
#include "support/temp_dir.h"
#include "tool_setting.h"
#include "units.h"

namespace zget {
namespace {

class NamingTest : public testing::Test {};

TEST_F(NamingTest, LastSegmentIsDecodedWithoutQueryOrFragment) {
  EXPECT_EQ(fileNameFromUrl("http://h/a/b/r%C3%A9sum%C3%A9%20v2.pdf?x=1/2#top"),
            "r\xC3\xA9sum\xC3\xA9 v2.pdf");
  EXPECT_EQ(fileNameFromUrl("https://h:8080/file.tar.gz"), "file.tar.gz");
}

TEST_F(NamingTest, InvalidEscapesStayAsTheyAre) {
  EXPECT_EQ(percentDecode("100%"), "100%");
  EXPECT_EQ(percentDecode("a%2"), "a%2");
  EXPECT_EQ(percentDecode("%zz%41"), "%zzA");
}

TEST_F(NamingTest, DecodedSeparatorsAndControlCharactersCannotEscapeTheDirectory) {
  EXPECT_EQ(fileNameFromUrl("http://h/..%2F..%2Fetc%2Fpasswd"), ".._.._etc_passwd");
  EXPECT_EQ(fileNameFromUrl("http://h/a%5Cb%0Ac%00d"), "a_b_c_d");
  EXPECT_EQ(fileNameFromUrl("http://h/%2E%2E"), kFallbackFileName);
  EXPECT_EQ(fileNameFromUrl("http://h/."), kFallbackFileName);
}

// Stray UTF-8 continuation bytes are cut away whole, which once left ".." (or nothing) as the
// name: the parent of the output directory, or the directory itself.
TEST_F(NamingTest, LongNamesCutShortNeverBecomeDotDotOrEmpty) {
  std::string strays;
  for (int i = 0; i < 300; ++i) strays += "%80";
  for (const char* lead : {"..", ".", ""}) {
    EXPECT_EQ(fileNameFromUrl("http://h/" + std::string(lead) + strays), kFallbackFileName)
        << '"' << lead << '"';
  }
}

TEST_F(NamingTest, ListNamesMustStayInsideTheOutputDirectory) {
  const struct {
    const char* path;
    bool namesFile;
    bool inside;
  } cases[] = {
      {"a.bin", true, true},        {"sub/./a.bin", true, true}, {"a..b/...", true, true},
      {"/etc/passwd", true, false}, {"\\x", true, false},        {"../a", true, false},
      {"a/../../b", true, false},   {"a\\..\\b", true, false},   {"a/..", false, false},
      {"sub/", true, false},        {"sub/", false, true},       {".", true, false},
      {".", false, true},           {"", false, false},
  };
  for (const auto& entry : cases) {
    std::string reason;
    EXPECT_EQ(staysInside(entry.path, entry.namesFile, &reason), entry.inside)
        << '"' << entry.path << "\" as " << (entry.namesFile ? "file" : "directory");
    EXPECT_EQ(reason.empty(), entry.inside) << entry.path;
  }
}

TEST_F(NamingTest, UrlsWithoutALastSegmentFallBack) {
  EXPECT_EQ(fileNameFromUrl("http://h"), kFallbackFileName);
  EXPECT_EQ(fileNameFromUrl("http://h/"), kFallbackFileName);
  EXPECT_EQ(fileNameFromUrl("http://h/dir/?q=a/b.bin"), kFallbackFileName);
}

TEST_F(NamingTest, LongNamesAreCutOnCharacterBoundariesKeepingTheExtension) {
  std::string segment;
  for (int i = 0; i < 200; ++i) segment += "%C3%A9";  // 400 bytes of two-byte characters
  const std::string name = fileNameFromUrl("http://h/" + segment + ".iso");
  EXPECT_LE(name.size(), 255u);
  ASSERT_GE(name.size(), 4u);
  EXPECT_EQ(name.substr(name.size() - 4), ".iso");
  // 251 bytes are left for the stem: 125 whole characters, no half of one.
  EXPECT_EQ(name.size(), 250u + 4u);
}

TEST_F(NamingTest, NumberedNamesGoBeforeTheExtensionOfTheFileOnly) {
  EXPECT_EQ(numberedName("/d/a.b.zip", 3), "/d/a.b(3).zip");
  EXPECT_EQ(numberedName("/d.v/noext", 1), "/d.v/noext(1)");
  EXPECT_EQ(numberedName("/d/.profile", 2), "/d/.profile(2)");
}

TEST_F(NamingTest, NameBookNeverHandsOutOnePathTwice) {
  NameBook book;
  EXPECT_EQ(book.claim("/d/a.bin"), "/d/a.bin");
  EXPECT_EQ(book.claim("/d/a.bin"), "/d/a(1).bin");
  EXPECT_EQ(book.claim("/d/a(1).bin"), "/d/a(1)(1).bin");
  EXPECT_EQ(book.claim("/d/a.bin"), "/d/a(2).bin");
}

#ifndef _WIN32
// The environment is changed on this thread alone, and put back.
// NOLINTBEGIN(concurrency-mt-unsafe)
TEST_F(NamingTest, CacheRootFollowsXdgThenHome) {
  const char* savedXdg = std::getenv("XDG_CACHE_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string xdg = savedXdg ? savedXdg : "";
  const std::string home = savedHome ? savedHome : "";
  setenv("XDG_CACHE_HOME", "/x/cache", 1);
  setenv("HOME", "/x/home", 1);
  EXPECT_EQ(cacheRootDir(), "/x/cache/zephyl");
  setenv("XDG_CACHE_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(cacheRootDir(), "/x/home/.cache/zephyl");
  unsetenv("XDG_CACHE_HOME");
  EXPECT_EQ(cacheRootDir(), "/x/home/.cache/zephyl");
  if (savedXdg) setenv("XDG_CACHE_HOME", xdg.c_str(), 1);
  if (savedHome) setenv("HOME", home.c_str(), 1);
}
// NOLINTEND(concurrency-mt-unsafe)
#else
// Windows has no XDG directories: the cache lives in the user's local application data.
TEST_F(NamingTest, CacheRootIsInTheLocalApplicationData) {
  const std::string root = cacheRootDir();
  ASSERT_GT(root.size(), std::string("/zephyl").size());
  EXPECT_EQ(root.substr(root.size() - 7), "/zephyl");
  const std::string base = root.substr(0, root.size() - 7);
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::u8path(base))) << root;
}
#endif

class UnitsTest : public testing::Test {};

TEST_F(UnitsTest, SizesTakeBinarySuffixes) {
  int64_t bytes = 0;
  ASSERT_TRUE(parseByteSize("512K", &bytes));
  EXPECT_EQ(bytes, 524288);
  ASSERT_TRUE(parseByteSize("1.5m", &bytes));
  EXPECT_EQ(bytes, 1572864);
  ASSERT_TRUE(parseByteSize("2GiB", &bytes));
  EXPECT_EQ(bytes, 2147483648LL);
  ASSERT_TRUE(parseByteSize("100", &bytes));
  EXPECT_EQ(bytes, 100);
  EXPECT_FALSE(parseByteSize("", &bytes));
  EXPECT_FALSE(parseByteSize("-1K", &bytes));
  EXPECT_FALSE(parseByteSize("1X", &bytes));
  EXPECT_FALSE(parseByteSize("iB", &bytes));
  EXPECT_FALSE(parseByteSize("99999999999T", &bytes));  // beyond 64 bits
}

TEST_F(UnitsTest, DurationsDefaultToSecondsAndTakeUnits) {
  int64_t ms = 0;
  ASSERT_TRUE(parseDurationMs("30", &ms));
  EXPECT_EQ(ms, 30000);
  ASSERT_TRUE(parseDurationMs("1.5", &ms));
  EXPECT_EQ(ms, 1500);
  ASSERT_TRUE(parseDurationMs("250ms", &ms));
  EXPECT_EQ(ms, 250);
  ASSERT_TRUE(parseDurationMs("2m", &ms));
  EXPECT_EQ(ms, 120000);
  ASSERT_TRUE(parseDurationMs("7d", &ms));
  EXPECT_EQ(ms, 604800000);
  EXPECT_FALSE(parseDurationMs("soon", &ms));
  EXPECT_FALSE(parseDurationMs("5 weeks", &ms));
}

TEST_F(UnitsTest, PrintedFiguresStayShort) {
  EXPECT_EQ(formatBytes(0), "0 B");
  EXPECT_EQ(formatBytes(1023), "1023 B");
  EXPECT_EQ(formatBytes(1536), "1.50 KiB");
  EXPECT_EQ(formatBytes(1048575), "1023 KiB");  // truncated, never rounded up past the unit
  EXPECT_EQ(formatBytes(10 * 1048576 + 1), "10.0 MiB");
  EXPECT_EQ(formatSpeed(0), "0 B/s");
  EXPECT_EQ(formatDuration(7), "0:07");
  EXPECT_EQ(formatDuration(3723), "1:02:03");
  EXPECT_EQ(formatDuration(-1), "--:--");
  EXPECT_EQ(formatDuration(1e12), "--:--");
}

class InputListTest : public testing::Test {
 protected:
  int read(const std::string& text, std::vector<DownloadJob>* jobs, std::string* error) {
    const std::string path = temp_.file("list");
    std::ofstream(path) << text;
    return readInputList(path, jobs, error);
  }
  zephyl::test::TempDir temp_;
};

TEST_F(InputListTest, UrlsWithTheirOptionLines) {
  std::vector<DownloadJob> jobs;
  std::string error;
  ASSERT_EQ(read("# comment\r\nhttp://h/a\r\n\t out=x.bin \n  checksum=md5=" +
                     std::string(32, 'A') + "\n\nhttp://h/b\n  dir=d\n",
                 &jobs, &error),
            0)
      << error;
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].url, "http://h/a");
  EXPECT_EQ(jobs[0].outName, "x.bin");
  EXPECT_EQ(jobs[0].expectedMd5, std::string(32, 'a'));
  EXPECT_EQ(jobs[1].url, "http://h/b");
  EXPECT_EQ(jobs[1].dir, "d");
  EXPECT_EQ(jobs[1].outName, "");
}

TEST_F(InputListTest, MalformedListsAreUsageErrorsNamingTheLine) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"  out=x\nhttp://h/a\n", "line 1"},
      {"http://h/a\n  colour=red\n", "line 2: unknown option"},
      {"http://h/a\n  checksum=sha1=00\n", "checksum"},
      {"http://h/a http://h/b\n", "one URL a line"},
      {"http://h/a\n  out\n", "key=value"},
      {"http://h/a\n  out=/home/u/.bashrc\n", "line 2: out must stay inside the output"},
      {"http://h/a\n  dir=a/../..\n  out=x\n", "line 2: dir must stay inside"},
  };
  for (const auto& entry : cases) {
    std::vector<DownloadJob> jobs;
    std::string error;
    EXPECT_EQ(read(entry.text, &jobs, &error), kExitUsage) << entry.text;
    EXPECT_NE(error.find(entry.reason), std::string::npos) << error;
    EXPECT_TRUE(jobs.empty());
  }
}

TEST_F(InputListTest, MissingListIsAFailureNotAUsageError) {
  std::vector<DownloadJob> jobs;
  std::string error;
  EXPECT_EQ(readInputList(temp_.file("absent"), &jobs, &error), kExitFailure);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

class OptionsTest : public testing::Test {
 protected:
  // parseOptions on "zget" followed by args.
  static int parse(std::vector<std::string> args, ToolOptions* options) {
    args.insert(args.begin(), "zget");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    return parseOptions(static_cast<int>(argv.size()), argv.data(), options);
  }
  zephyl::test::TempDir temp_;
};

TEST_F(OptionsTest, TlsOptionsReachTheSettingsAndVerificationStaysOnByDefault) {
  const std::string ca = temp_.file("ca.pem");
  std::ofstream(ca) << "-----BEGIN CERTIFICATE-----\n";
  ToolOptions options;
  ASSERT_EQ(parse({"--ca-certificate", ca, "--insecure", "https://h/a"}, &options), -1);
  ZPSetting setting = makeSetting(options, "/cache");
  EXPECT_EQ(setting.httpPolicy.caCertificatePath, ca);
  EXPECT_FALSE(setting.httpPolicy.verifyTls);

  ToolOptions defaults;
  ASSERT_EQ(parse({"https://h/a"}, &defaults), -1);
  setting = makeSetting(defaults, "/cache");
  EXPECT_EQ(setting.httpPolicy.caCertificatePath, "");
  EXPECT_TRUE(setting.httpPolicy.verifyTls);
  EXPECT_EQ(setting.rootDir, "/cache");

  ToolOptions missing;
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--ca-certificate", temp_.file("absent.pem"), "https://h/a"}, &missing),
            kExitUsage);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("--ca-certificate"), std::string::npos);
}

TEST_F(OptionsTest, ReplacingAFileMustBeAskedForAndRenameIsStillAccepted) {
  ToolOptions options;
  ASSERT_EQ(parse({"http://h/a"}, &options), -1);
  EXPECT_FALSE(options.allowOverwrite);
  ASSERT_EQ(parse({"--rename", "http://h/a"}, &options), -1);
  EXPECT_FALSE(options.allowOverwrite);
  ASSERT_EQ(parse({"--allow-overwrite", "http://h/a"}, &options), -1);
  EXPECT_TRUE(options.allowOverwrite);
  ToolOptions both;
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"--rename", "--allow-overwrite", "http://h/a"}, &both), kExitUsage);
  testing::internal::GetCapturedStderr();
}

class StorageRootTest : public testing::Test {
 protected:
  zephyl::test::TempDir temp_;
};

// The library empties "temp" below its root: a root with anything it did not make is refused,
// so that "--cache-dir ~" cannot cost the user ~/temp.
TEST_F(StorageRootTest, OnlyWhatTheLibraryMakesMayBeInTheRoot) {
  namespace stdfs = std::filesystem;
  const std::string key(32, 'a');
  const struct {
    const char* name;
    std::vector<std::string> files;  // created with their directories; "name->" makes a link
    const char* foreign;             // the entry the refusal names; null: accepted
  } cases[] = {
      {"empty", {}, nullptr},
      {"own",
       {"temp/" + key, "lruCache/" + key + ".info.tmp", "downloads.lock",
        "zget-locks/downloads.lock"},
       nullptr},
      {"oldLocks", {"zget-locks/" + key}, key.c_str()},
      {"home", {"temp/" + key, "Documents/letter.txt"}, "Documents"},
      {"usersTemp", {"temp/holiday.jpg"}, "holiday.jpg"},
      {"upperKey", {"lruCache/" + std::string(32, 'A')}, "AAAA"},
      {"linkedCache", {"lruCache->"}, "lruCache"},
      {"fileAsTemp", {"temp"}, "temp"},
  };
  for (const auto& entry : cases) {
    const std::string root = temp_.file(entry.name);
    stdfs::create_directories(root);
    bool made = true;
    for (const std::string& file : entry.files) {
      const std::string path = root + "/" + file;
      if (file.size() > 2 && file.compare(file.size() - 2, 2, "->") == 0) {
        // Where links cannot be made (Windows without the privilege, Wine) the case is left out.
        std::error_code linkError;
        stdfs::create_directory_symlink(temp_.path(), path.substr(0, path.size() - 2), linkError);
        made = made && !linkError;
        continue;
      }
      stdfs::create_directories(stdfs::path(path).parent_path());
      std::ofstream(path) << "x";
    }
    if (!made) continue;
    std::string error;
    EXPECT_EQ(isOwnStorageRoot(root, &error), entry.foreign == nullptr) << entry.name;
    if (entry.foreign != nullptr) {
      EXPECT_NE(error.find(entry.foreign), std::string::npos) << error;
      EXPECT_NE(error.find("--cache-dir"), std::string::npos) << error;
    }
  }
  std::string error;
  EXPECT_TRUE(isOwnStorageRoot(temp_.file("missing"), &error)) << error;
}

class FailureTextTest : public testing::Test {};

TEST_F(FailureTextTest, StatusComesFromTheLastRecordOfTheUrl) {
  const std::vector<std::string> records = {
      "{\n\t\"label\":\t{\n\t\t\"http_code\":\t500,\n\t\t\"url\":\t\"http:\\/\\/h\\/a\"\n\t}\n}",
      "{\"label\":{\"http_code\":206,\"url\":\"http://h/other\"}}",
      "{\"label\":{\"http_code\":404,\"url\":\"http://h/a\"}}",
  };
  EXPECT_EQ(httpStatusFromRecords(records, "http://h/a"), 404);
  EXPECT_EQ(httpStatusFromRecords({records[0]}, "http://h/a"), 500);
  EXPECT_EQ(httpStatusFromRecords(records, "http://h/none"), 0);
}

TEST_F(FailureTextTest, ServerErrorsNameTheStatusOnlyWhenItIsAnError) {
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::BLOCK_HTTP_SERVER_ERROR,
                      "http code error");
  EXPECT_EQ(describeFailure("http://h/a", response, 404),
            "the server answered 404 for http://h/a (error -9991, http code error)");
  // A later range failing after a good first answer: 206 is no reason.
  EXPECT_EQ(describeFailure("http://h/a", response, 206),
            "the server answered with an error status for http://h/a (error -9991, "
            "http code error)");
}

TEST_F(FailureTextTest, StorageFailuresCarryTheSystemText) {
  ZPResponse response(ZPResponse::RESULT_FAILED, ZPResponse::CACHE_ERROR, "MoveFileW Failed");
  response.extraErrorCode = 13;
  EXPECT_EQ(describeFailure("http://h/a", response, 0),
            "cannot store or place the file of http://h/a: Permission denied (error -9996, "
            "MoveFileW Failed)");
}

}  // namespace
}  // namespace zget
