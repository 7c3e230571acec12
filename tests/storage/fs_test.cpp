// The POSIX file-system layer (fs_posix.cpp): its codes are errno values and its cases are set up
// with POSIX calls (modes, owners, links, /dev/shm). The Windows layer's own cases are in
// tests/windows/fs_windows_test.cpp.
#include "storage/fs.h"

#include <gtest/gtest.h>

#ifdef _WIN32

TEST(FsTest, PosixLayerOnly) {
  GTEST_SKIP() << "cases of the POSIX layer; the Windows layer has tests/windows/fs_windows_test";
}

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/log.h"
#include "support/file_size_limit.h"
#include "support/status_report.h"
#include "support/temp_dir.h"

namespace zephyl {
namespace {

namespace stdfs = std::filesystem;

constexpr int kUntouchedCode = 12345;
const char kUntouchedMessage[] = "untouched";

// Every test works in a fresh temporary directory of its own, removed afterwards. Files are
// prepared and checked with the standard library, independently of the layer under test.
class FsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (stdfs::temp_directory_path() / "zephyl_fs_XXXXXX").string();
    ASSERT_NE(zephyl::test::makeTemporaryDirectory(pattern.data()), nullptr);
    root_ = pattern;
  }

  void TearDown() override {
    setLogThreshold(5);
    std::error_code ignored;
    stdfs::remove_all(root_, ignored);
  }

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  static void writeFile(const std::string& file, const std::string& content) {
    std::ofstream stream(file, std::ios::binary);
    stream << content;
    ASSERT_TRUE(stream.good()) << file;
  }

  static std::string readFile(const std::string& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  // A file path of exactly `units` UTF-16 units below root_: root_ followed by components made
  // of `piece` (1 or 2 units each, at most 255 bytes per component), padded with ASCII. The
  // directories on the way are created.
  std::string pathOfUnits(size_t units, const std::string& piece, size_t pieceUnits) {
    std::string result = root_;
    size_t used = root_.size();  // the temporary root is ASCII
    const size_t piecesPerComponent = 240 / piece.size();
    while (true) {
      const size_t remaining = units - used - 1;  // one unit for the separator
      if (remaining <= piecesPerComponent * pieceUnits) {
        std::string last;
        size_t lastUnits = 0;
        while (lastUnits + pieceUnits <= remaining) last += piece, lastUnits += pieceUnits;
        last.append(remaining - lastUnits, 'f');
        return result.append("/").append(last);
      }
      result += "/";
      for (size_t i = 0; i < piecesPerComponent; ++i) result += piece;
      used += 1 + piecesPerComponent * pieceUnits;
      stdfs::create_directory(result);
    }
  }

  std::string root_;
  int code_ = kUntouchedCode;
  std::string message_ = kUntouchedMessage;
};

// ---- Creating directories ----

TEST_F(FsTest, CreateDirectoriesCreatesEveryMissingLevel) {
  stdfs::create_directory(path("a"));
  EXPECT_TRUE(test::reported(fs::createDirectories(path("a/b/c")), &code_, &message_));
  EXPECT_TRUE(stdfs::is_directory(path("a/b/c")));
  EXPECT_EQ(code_, kUntouchedCode);
  EXPECT_EQ(message_, kUntouchedMessage);
  EXPECT_TRUE(test::reported(fs::createDirectories(path("a/b/c")), &code_, &message_));
  EXPECT_TRUE(test::reported(fs::createDirectories(""), &code_, &message_));
}

TEST_F(FsTest, CreateDirectoriesAcceptsBackslashesAndTrailingSeparators) {
  EXPECT_TRUE(fs::createDirectories(root_ + "\\win\\style").isOk());
  EXPECT_TRUE(stdfs::is_directory(path("win/style")));
  EXPECT_TRUE(fs::createDirectories(root_ + "/mixed\\levels/here\\").isOk());
  EXPECT_TRUE(stdfs::is_directory(path("mixed/levels/here")));
}

TEST_F(FsTest, CreateDirectoriesUnderRegularFileReportsFailingLevel) {
  writeFile(path("plain"), "x");
  EXPECT_FALSE(test::reported(fs::createDirectories(path("plain/sub/deeper")), &code_, &message_));
  EXPECT_EQ(code_, ENOTDIR);
  EXPECT_EQ(message_, "CreateDirectoryW Failed");
  EXPECT_EQ(readFile(path("plain")), "x");
}

TEST_F(FsTest, RegularFileInPlaceOfDirectoryIsNotCreatedDirectory) {
  writeFile(path("plain"), "keep");
  EXPECT_FALSE(test::reported(fs::createDirectories(path("plain")), &code_, &message_));
  EXPECT_EQ(code_, EEXIST);
  EXPECT_EQ(message_, "CreateDirectoryW Failed");
  code_ = kUntouchedCode;
  EXPECT_FALSE(test::reported(fs::createOneDirectory(path("plain")), &code_, &message_));
  EXPECT_EQ(code_, EEXIST);
  EXPECT_EQ(readFile(path("plain")), "keep");
}

TEST_F(FsTest, CreateOneDirectoryNeedsItsParent) {
  EXPECT_FALSE(test::reported(fs::createOneDirectory(path("none/child")), &code_, &message_));
  EXPECT_EQ(code_, ENOENT);
  EXPECT_TRUE(test::reported(fs::createOneDirectory(path("one")), &code_, &message_));
  EXPECT_TRUE(test::reported(fs::createOneDirectory(path("one")), &code_, &message_));
  EXPECT_EQ(code_, ENOENT);  // untouched by the later successes
}

// The storage directories: private from their creation, made private when they existed, and
// never a link or another user's directory.
TEST_F(FsTest, PrivateDirectoriesAreTheUsersAloneAndOthersKeepTheirModes) {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  const auto modeOf = [](const std::string& p) {
    struct stat info {};
    return ::lstat(p.c_str(), &info) == 0 ? info.st_mode & 07777 : 07777u;
  };
  const mode_t rootMode = modeOf(root_);
  EXPECT_EQ(fs::createPrivateDirectories(path("a/b/c"), test::ReportTo(&code_, &message_)),
            fs::PrivateDirectory::Ready);
  for (const char* level : {"a", "a/b", "a/b/c"}) EXPECT_EQ(modeOf(path(level)), 0700u) << level;
  EXPECT_EQ(modeOf(root_), rootMode);

  stdfs::create_directory(path("open"));
  ::chmod(path("open").c_str(), 0755);
  EXPECT_EQ(fs::createPrivateDirectories(path("open")), fs::PrivateDirectory::Ready);
  EXPECT_EQ(modeOf(path("open")), 0700u);
  EXPECT_EQ(code_, kUntouchedCode);

  // A link, even to a directory of the user's own, is refused and its target left as it was.
  stdfs::create_directory_symlink(path("open"), path("link"));
  ::chmod(path("open").c_str(), 0755);
  EXPECT_EQ(fs::createPrivateDirectories(path("link"), test::ReportTo(&code_, &message_)),
            fs::PrivateDirectory::Unsafe);
  EXPECT_EQ(code_, EACCES);
  EXPECT_EQ(message_, "not a directory of this user");
  EXPECT_EQ(modeOf(path("open")), 0755u);

  writeFile(path("plain"), "x");
  EXPECT_EQ(fs::createPrivateDirectories(path("plain/sub"), test::ReportTo(&code_, &message_)),
            fs::PrivateDirectory::NotCreated);
  EXPECT_EQ(code_, ENOTDIR);

  // Another user's directory; only root can make one to try.
  if (::geteuid() == 0) {
    stdfs::create_directory(path("theirs"));
    ASSERT_EQ(::chown(path("theirs").c_str(), 65534, 65534), 0);
    EXPECT_EQ(fs::createPrivateDirectories(path("theirs")), fs::PrivateDirectory::Unsafe);
  }

  // Directories for the user's files keep the usual mode.
  EXPECT_TRUE(fs::createDirectories(path("shared/dir")).isOk());
  EXPECT_EQ(modeOf(path("shared/dir")), 0777u & ~mask);
}

TEST_F(FsTest, VeryLongPathFailsWithoutExhaustingStack) {
  writeFile(path("plain"), "x");
  std::string deep = path("plain");
  while (deep.size() < 400000) deep += "/a";
  EXPECT_FALSE(test::reported(fs::createDirectories(deep), &code_, &message_));
  EXPECT_EQ(code_, ENOTDIR);
}

// ---- Opening and seeking ----

// The library writes to standard output only through its log, which is silent unless asked.
TEST_F(FsTest, OpeningMissingFileReportsErrnoAndPrintsNothingUnlessLogged) {
  const std::string missing = path("missing.bin");
  testing::internal::CaptureStdout();
  FILE* file = fs::fOpenFile(missing, "rb", test::ReportTo(&code_, &message_));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(code_, ENOENT);
  EXPECT_EQ(message_, "fOpenFile");

  setLogThreshold(1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(fs::fOpenFile(missing, "rb"), nullptr);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("] fopenFile " + missing + ", rb, ret = 2\n"), std::string::npos)
      << printed;
}

TEST_F(FsTest, OpenedStreamWritesAndReadsBack) {
  FILE* file = fs::fOpenFile(path("data.bin"), "wb+", test::ReportTo(&code_, &message_));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite("hello", 1, 5, file), 5u);
  ASSERT_TRUE(test::reported(fs::seekFile(file, 1, SEEK_SET), &code_, &message_));
  char buffer[4] = {};
  EXPECT_EQ(std::fread(buffer, 1, 3, file), 3u);
  EXPECT_STREQ(buffer, "ell");
  std::fclose(file);
  EXPECT_EQ(readFile(path("data.bin")), "hello");
  EXPECT_EQ(code_, kUntouchedCode);
}

TEST_F(FsTest, OpeningDirectoryFails) {
  stdfs::create_directory(path("dir"));
  FILE* file = fs::fOpenFile(path("dir"), "rb", test::ReportTo(&code_, &message_));
  EXPECT_EQ(file, nullptr);
  if (file != nullptr) std::fclose(file);
  EXPECT_EQ(code_, EISDIR);
}

TEST_F(FsTest, BackslashPathOpensFileInSubdirectory) {
  stdfs::create_directory(path("sub"));
  FILE* file = fs::fOpenFile(root_ + "\\sub\\win.txt", "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(stdfs::is_regular_file(path("sub/win.txt")));
}

TEST_F(FsTest, ZeroByteInPathIsRefusedInsteadOfTruncated) {
  const std::string withZero = path(std::string("cut\0tail", 8));
  testing::internal::CaptureStdout();
  FILE* file = fs::fOpenFile(withZero, "wb", test::ReportTo(&code_, &message_));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(file, nullptr);
  if (file != nullptr) std::fclose(file);
  EXPECT_EQ(code_, EINVAL);
  EXPECT_FALSE(stdfs::exists(path("cut")));
}

TEST_F(FsTest, NonUtf8NameIsKeptByteForByte) {
  const std::string name = "\xff\xfe\x80name.bin";
  FILE* file = fs::fOpenFile(path(name), "wb", test::ReportTo(&code_, &message_));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite("abc", 1, 3, file), 3u);
  std::fclose(file);
  EXPECT_TRUE(fs::exists(path(name)));
  EXPECT_EQ(fs::statFileLength(path(name)), 3);
  std::vector<std::string> listed;
  ASSERT_TRUE(fs::listFiles(root_, &listed).isOk());
  EXPECT_EQ(listed, std::vector<std::string>{path(name)});
  EXPECT_TRUE(fs::removeFile(path(name)).isOk());
  EXPECT_FALSE(stdfs::exists(path(name)));
}

TEST_F(FsTest, PathOfLimitLengthOpensAndOneUnitMoreFailsWithItsReport) {
  const std::string atLimit = pathOfUnits(1023, "p", 1);
  FILE* file = fs::fOpenFile(atLimit, "wb", test::ReportTo(&code_, &message_));
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(stdfs::exists(atLimit));

  const std::string overLimit = pathOfUnits(1024, "q", 1);
  testing::internal::CaptureStdout();
  file = fs::fOpenFile(overLimit, "wb", test::ReportTo(&code_, &message_));
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(printed, "");  // no open was tried, so no line of a failed one
  EXPECT_EQ(code_, ENAMETOOLONG);
  EXPECT_EQ(message_, std::strerror(ENAMETOOLONG));
  EXPECT_FALSE(stdfs::exists(overLimit));
}

TEST_F(FsTest, PathLimitCountsUtf16UnitsNotBytesOrCharacters) {
  // U+20AC takes three bytes and one unit; U+1F600 four bytes and two units.
  const std::string euro = "\xe2\x82\xac";
  const std::string smiley = "\xf0\x9f\x98\x80";
  for (const auto& [piece, units] : {std::pair(euro, size_t{1}), std::pair(smiley, size_t{2})}) {
    const std::string atLimit = pathOfUnits(1023, piece, units);
    FILE* file = fs::fOpenFile(atLimit, "wb");
    EXPECT_NE(file, nullptr) << "bytes " << atLimit.size();
    if (file != nullptr) std::fclose(file);
    const std::string overLimit = pathOfUnits(1024, piece, units);
    file = fs::fOpenFile(overLimit, "wb");
    EXPECT_EQ(file, nullptr) << "bytes " << overLimit.size();
    if (file != nullptr) std::fclose(file);
    stdfs::remove_all(root_);
    stdfs::create_directory(root_);
  }
}

TEST_F(FsTest, ModeLongerThanItsBufferFailsWithItsReport) {
  writeFile(path("f"), "x");
  FILE* file = fs::fOpenFile(path("f"), "r" + std::string(62, 'b'));
  EXPECT_NE(file, nullptr);
  if (file != nullptr) std::fclose(file);
  testing::internal::CaptureStdout();
  file = fs::fOpenFile(path("f"), "r" + std::string(63, 'b'), test::ReportTo(&code_, &message_));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(code_, EINVAL);
  EXPECT_EQ(message_, std::strerror(EINVAL));
}

// A link planted in place of a file the library writes must not carry the write elsewhere:
// every writing mode refuses it, reading follows it.
TEST_F(FsTest, WritingOpensRefuseALinkInPlaceOfTheFile) {
  writeFile(path("outside"), "precious");
  stdfs::create_symlink(path("outside"), path("link"));
  stdfs::create_symlink(path("nowhere"), path("dangling"));
  for (const char* mode : {"wb", "wb+", "rb+", "ab", "a+", "w"}) {
    for (const char* name : {"link", "dangling"}) {
      code_ = kUntouchedCode;
      testing::internal::CaptureStdout();
      FILE* file = fs::fOpenFile(path(name), mode, test::ReportTo(&code_, &message_));
      testing::internal::GetCapturedStdout();
      EXPECT_EQ(file, nullptr) << mode << " " << name;
      if (file != nullptr) std::fclose(file);
      EXPECT_EQ(code_, ELOOP) << mode << " " << name;
    }
  }
  EXPECT_EQ(readFile(path("outside")), "precious");
  EXPECT_FALSE(stdfs::exists(path("nowhere")));  // not created through the dangling link
  EXPECT_TRUE(stdfs::is_symlink(path("link")));
  EXPECT_FALSE(fs::isRegularFile(path("link")));
  EXPECT_TRUE(fs::isRegularFile(path("outside")));

  FILE* reading = fs::fOpenFile(path("link"), "rb");
  ASSERT_NE(reading, nullptr);
  char buffer[9] = {};
  EXPECT_EQ(std::fread(buffer, 1, 8, reading), 8u);
  EXPECT_STREQ(buffer, "precious");
  std::fclose(reading);

  EXPECT_EQ(fs::openLockFile(path("dangling"), test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_FALSE(stdfs::exists(path("nowhere")));
  EXPECT_EQ(message_, "openLockFile");
}

TEST_F(FsTest, SeekBeyondFourGigabytesKeepsSixtyFourBitOffset) {
  FILE* file = fs::fOpenFile(path("sparse.bin"), "wb+");
  ASSERT_NE(file, nullptr);
  const int64_t offset = (int64_t{5} << 30) + 7;
  ASSERT_TRUE(test::reported(fs::seekFile(file, offset, SEEK_SET), &code_, &message_));
  EXPECT_EQ(std::fputc('z', file), 'z');
  std::fclose(file);
  EXPECT_EQ(fs::statFileLength(path("sparse.bin")), offset + 1);
}

TEST_F(FsTest, FailedSeekReportsErrnoText) {
  FILE* file = fs::fOpenFile(path("s.bin"), "wb+");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(test::reported(fs::seekFile(file, -10, SEEK_SET), &code_, &message_));
  EXPECT_EQ(code_, EINVAL);
  EXPECT_EQ(message_, "Invalid argument");  // the C library's text for EINVAL
  std::fclose(file);
  code_ = kUntouchedCode;
  EXPECT_FALSE(test::reported(fs::seekFile(nullptr, 0, SEEK_SET), &code_, &message_));
  EXPECT_EQ(code_, EINVAL);
}

TEST_F(FsTest, WriteFileAtPlacesBytesWithoutMovingTheStream) {
  FILE* file = fs::fOpenFile(path("w.bin"), "wb+");
  ASSERT_NE(file, nullptr);
  std::setvbuf(file, nullptr, _IONBF, 0);
  EXPECT_TRUE(test::reported(fs::writeFileAt(file, 4, "tail", 4), &code_, &message_));
  EXPECT_TRUE(test::reported(fs::writeFileAt(file, 0, "head", 4), &code_, &message_));
  EXPECT_EQ(std::ftell(file), 0);
  std::fclose(file);
  EXPECT_EQ(readFile(path("w.bin")), "headtail");
  EXPECT_EQ(code_, kUntouchedCode);

  EXPECT_FALSE(test::reported(fs::writeFileAt(nullptr, 0, "x", 1), &code_, &message_));
  EXPECT_EQ(code_, EINVAL);
  FILE* readOnly = fs::fOpenFile(path("w.bin"), "rb");
  ASSERT_NE(readOnly, nullptr);
  EXPECT_FALSE(test::reported(fs::writeFileAt(readOnly, 0, "x", 1), &code_, &message_));
  EXPECT_EQ(code_, EBADF);
  std::fclose(readOnly);
}

// ---- File times ----

// The modification time changes (through a link too), the access time stays; a missing file is
// a reported failure.
TEST_F(FsTest, SetFileModifiedTimeSetsTheModificationTimeOnly) {
  writeFile(path("f"), "x");
  struct timespec times[2] = {};
  times[0].tv_sec = 1000000000;  // access time, to see that it stays
  times[1].tv_sec = 1100000000;
  ASSERT_EQ(utimensat(AT_FDCWD, path("f").c_str(), times, 0), 0);
  ASSERT_EQ(symlink(path("f").c_str(), path("link").c_str()), 0);
  for (const int64_t seconds : {int64_t{1445412480}, int64_t{0}, int64_t{4102444800}}) {
    EXPECT_TRUE(test::reported(fs::setFileModifiedTime(path("link"), seconds), &code_, &message_));
    struct stat info {};
    ASSERT_EQ(stat(path("f").c_str(), &info), 0);
    EXPECT_EQ(static_cast<int64_t>(info.st_mtime), seconds);
    EXPECT_EQ(static_cast<int64_t>(info.st_atime), 1000000000);
  }
  EXPECT_FALSE(
      test::reported(fs::setFileModifiedTime(path("missing"), 1445412480), &code_, &message_));
  EXPECT_EQ(code_, ENOENT);
  EXPECT_EQ(message_, "setFileModifiedTime");
}

// ---- Removing ----

TEST_F(FsTest, RemoveFileDeletesFilesOnly) {
  writeFile(path("f"), "x");
  EXPECT_TRUE(test::reported(fs::removeFile(path("f")), &code_, &message_));
  EXPECT_FALSE(stdfs::exists(path("f")));
  EXPECT_FALSE(test::reported(fs::removeFile(path("f")), &code_, &message_));
  EXPECT_EQ(code_, ENOENT);
  EXPECT_EQ(message_, "DeleteFileW Failed");
  stdfs::create_directory(path("d"));
  EXPECT_FALSE(fs::removeFile(path("d")).isOk());
  EXPECT_TRUE(stdfs::is_directory(path("d")));
}

TEST_F(FsTest, RemoveDirectoryEmptiesTreeAndOptionallyItself) {
  stdfs::create_directories(path("tree/a/b"));
  writeFile(path("tree/top.txt"), "1");
  writeFile(path("tree/a/mid.txt"), "2");
  writeFile(path("tree/a/b/low.txt"), "3");
  EXPECT_TRUE(fs::removeDirectory(path("tree"), false).isOk());
  EXPECT_TRUE(stdfs::is_directory(path("tree")));
  EXPECT_TRUE(stdfs::is_empty(path("tree")));

  stdfs::create_directories(path("tree/again"));
  writeFile(path("tree/again/x"), "x");
  EXPECT_TRUE(fs::removeDirectory(root_ + "\\tree", true).isOk());
  EXPECT_FALSE(stdfs::exists(path("tree")));
}

TEST_F(FsTest, RemoveDirectoryRefusesFilesAndMissingPaths) {
  writeFile(path("f"), "keep");
  EXPECT_FALSE(fs::removeDirectory(path("f"), true).isOk());
  EXPECT_EQ(readFile(path("f")), "keep");
  EXPECT_FALSE(fs::removeDirectory(path("missing"), true).isOk());
}

TEST_F(FsTest, RemoveDirectoryUnlinksSymlinksWithoutFollowingThem) {
  stdfs::create_directories(path("outside/inner"));
  writeFile(path("outside/keep.txt"), "keep");
  writeFile(path("outside/inner/deep.txt"), "deep");
  writeFile(path("lonely.txt"), "lonely");
  stdfs::create_directories(path("tree/sub"));
  stdfs::create_directory_symlink(path("outside"), path("tree/dirlink"));
  stdfs::create_directory_symlink(path("outside"), path("tree/sub/dirlink"));
  stdfs::create_symlink(path("lonely.txt"), path("tree/filelink"));
  stdfs::create_symlink(path("nowhere"), path("tree/dangling"));

  EXPECT_TRUE(fs::removeDirectory(path("tree"), true).isOk());
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(path("tree"))));
  EXPECT_EQ(readFile(path("outside/keep.txt")), "keep");
  EXPECT_EQ(readFile(path("outside/inner/deep.txt")), "deep");
  EXPECT_EQ(readFile(path("lonely.txt")), "lonely");

  // Nor is a link named itself followed: it is no directory to empty.
  stdfs::create_directory_symlink(path("outside"), path("toplink"));
  EXPECT_FALSE(fs::removeDirectory(path("toplink"), false).isOk());
  EXPECT_FALSE(fs::removeDirectory(path("toplink"), true).isOk());
  EXPECT_EQ(readFile(path("outside/keep.txt")), "keep");
  EXPECT_TRUE(fs::removeFile(path("toplink")).isOk());
  EXPECT_TRUE(stdfs::is_directory(path("outside")));
}

// ---- Listing and measuring ----

TEST_F(FsTest, ListFilesAppendsFilesAndDirectoriesJoinedWithSlash) {
  stdfs::create_directories(path("dir/sub"));
  writeFile(path("dir/one"), "1");
  writeFile(path("dir/two"), "2");
  // Named with a backslash, it would be read back as "sub/x" and reach another file: left out.
  writeFile(path("dir") + "/sub\\x", "3");
  std::vector<std::string> listed{"earlier"};
  ASSERT_TRUE(test::reported(fs::listFiles(path("dir"), &listed), &code_, &message_));
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0], "earlier");
  std::sort(listed.begin() + 1, listed.end());
  EXPECT_EQ(listed[1], path("dir/one"));
  EXPECT_EQ(listed[2], path("dir/sub"));
  EXPECT_EQ(listed[3], path("dir/two"));
}

TEST_F(FsTest, ListFilesOfMissingOrNonDirectoryFails) {
  std::vector<std::string> listed{"earlier"};
  EXPECT_FALSE(test::reported(fs::listFiles(path("missing"), &listed), &code_, &message_));
  EXPECT_EQ(code_, -1);
  EXPECT_EQ(message_, "listFiles");
  writeFile(path("f"), "x");
  code_ = kUntouchedCode;
  EXPECT_FALSE(test::reported(fs::listFiles(path("f"), &listed), &code_, &message_));
  EXPECT_EQ(code_, -1);
  EXPECT_EQ(listed, std::vector<std::string>{"earlier"});
}

TEST_F(FsTest, StatFileLengthReportsMissingFile) {
  writeFile(path("five"), "12345");
  EXPECT_EQ(fs::statFileLength(path("five"), test::ReportTo(&code_, &message_)), 5);
  EXPECT_EQ(code_, kUntouchedCode);
  EXPECT_EQ(fs::statFileLength(path("missing"), test::ReportTo(&code_, &message_)), 0);
  EXPECT_EQ(code_, ENOENT);
  EXPECT_EQ(message_, "statFileLength");
}

TEST_F(FsTest, ModifiedTimeIsWholeSecondsInMilliseconds) {
  writeFile(path("f"), "x");
  const timespec times[2] = {{1700000000, 0}, {1700000000, 700000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("f").c_str(), times, 0), 0);
  EXPECT_EQ(fs::fileModifiedTimeMs(path("f")), int64_t{1700000000000});
  EXPECT_EQ(fs::fileModifiedTimeMs(path("missing")), 0);
}

TEST_F(FsTest, ExistsSeesFilesDirectoriesAndDanglingLinks) {
  writeFile(path("f"), "x");
  stdfs::create_directory(path("d"));
  stdfs::create_symlink(path("nowhere"), path("dangling"));
  EXPECT_TRUE(fs::exists(path("f")));
  EXPECT_TRUE(fs::exists(root_ + "\\d"));
  EXPECT_TRUE(fs::exists(path("dangling")));
  EXPECT_FALSE(fs::exists(path("nowhere")));
  EXPECT_FALSE(fs::exists(""));
}

// ---- Moving ----

TEST_F(FsTest, MoveFileRenamesSource) {
  writeFile(path("from"), "payload");
  stdfs::create_directory(path("to"));
  EXPECT_TRUE(test::reported(fs::moveFile(path("from"), root_ + "\\to\\there"), &code_, &message_));
  EXPECT_FALSE(stdfs::exists(path("from")));
  EXPECT_EQ(readFile(path("to/there")), "payload");
  EXPECT_EQ(code_, kUntouchedCode);
}

TEST_F(FsTest, MoveFileNeverReplacesExistingTarget) {
  writeFile(path("from"), "new");
  writeFile(path("to"), "old");
  EXPECT_FALSE(test::reported(fs::moveFile(path("from"), path("to")), &code_, &message_));
  EXPECT_EQ(code_, EEXIST);
  EXPECT_EQ(message_, "MoveFileW Failed");
  EXPECT_EQ(readFile(path("from")), "new");
  EXPECT_EQ(readFile(path("to")), "old");

  stdfs::create_symlink(path("nowhere"), path("link"));
  EXPECT_FALSE(test::reported(fs::moveFile(path("from"), path("link")), &code_, &message_));
  EXPECT_EQ(readFile(path("from")), "new");
  EXPECT_TRUE(stdfs::is_symlink(path("link")));
}

TEST_F(FsTest, MoveFileOfMissingSourceReportsIt) {
  EXPECT_FALSE(test::reported(fs::moveFile(path("missing"), path("to")), &code_, &message_));
  EXPECT_EQ(code_, ENOENT);
  EXPECT_FALSE(stdfs::exists(path("to")));
}

TEST_F(FsTest, ReplacingMoveAndCopyFollowTheReplaceChoice) {
  writeFile(path("from"), "new");
  writeFile(path("to"), "old");
  EXPECT_TRUE(test::reported(fs::moveFile(path("from"), path("to"), true), &code_, &message_));
  EXPECT_EQ(readFile(path("to")), "new");
  EXPECT_FALSE(stdfs::exists(path("from")));

  writeFile(path("copy"), "taken");
  EXPECT_FALSE(test::reported(fs::copyFile(path("to"), path("copy"), false), &code_, &message_));
  EXPECT_EQ(code_, EEXIST);
  EXPECT_EQ(message_, "CopyFileW Failed");
  EXPECT_EQ(readFile(path("copy")), "taken");
  EXPECT_TRUE(test::reported(fs::copyFile(path("to"), root_ + "\\copy", true), nullptr, nullptr));
  EXPECT_EQ(readFile(path("copy")), "new");
  EXPECT_EQ(readFile(path("to")), "new");
  EXPECT_TRUE(test::reported(fs::copyFile(path("to"), path("fresh"), false), nullptr, nullptr));
  EXPECT_EQ(readFile(path("fresh")), "new");
  // Only the three files: no temporary copy stays behind.
  EXPECT_EQ(std::distance(stdfs::directory_iterator(root_), stdfs::directory_iterator()), 3);
}

// One side of every move on a tmpfs, the other on the disk under the system's temporary
// directory; the parameter tells which side the target is on.
class CrossDeviceMoveTest : public FsTest, public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    FsTest::SetUp();
    char pattern[] = "/dev/shm/zephyl_fs_XXXXXX";
    if (zephyl::test::makeTemporaryDirectory(pattern) == nullptr) {
      GTEST_SKIP() << "no tmpfs at /dev/shm";
    }
    tmpfs_ = pattern;
    struct stat disk {};
    struct stat memory {};
    ASSERT_EQ(stat(root_.c_str(), &disk), 0);
    ASSERT_EQ(stat(tmpfs_.c_str(), &memory), 0);
    if (disk.st_dev == memory.st_dev) GTEST_SKIP() << "/dev/shm and the disk are one device";
    sourceDir_ = GetParam() ? root_ : tmpfs_;
    targetDir_ = GetParam() ? tmpfs_ : root_;
  }
  void TearDown() override {
    if (!tmpfs_.empty()) stdfs::remove_all(tmpfs_);
    FsTest::TearDown();
  }
  std::string source() const { return sourceDir_ + "/source"; }
  std::string target() const { return targetDir_ + "/target"; }
  // Names in the target's directory: exactly the expected ones, or temporaries were left.
  std::vector<std::string> targetDirNames() const {
    std::vector<std::string> names;
    for (const auto& entry : stdfs::directory_iterator(targetDir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string tmpfs_;
  std::string sourceDir_;
  std::string targetDir_;
};

// Several copy buffers and a ragged end, no two neighbouring blocks alike.
std::string largeContent() {
  std::string content(3 * 256 * 1024 + 77, '\0');
  uint32_t state = 7;
  for (char& c : content) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return content;
}

TEST_P(CrossDeviceMoveTest, MovesByteExactWithItsModeAndNoLeftovers) {
  const std::string content = largeContent();
  writeFile(source(), content);
  ASSERT_EQ(chmod(source().c_str(), 0640), 0);
  ASSERT_TRUE(test::reported(fs::moveFile(source(), target(), false), &code_, &message_)) << code_;
  EXPECT_EQ(code_, kUntouchedCode);
  EXPECT_TRUE(readFile(target()) == content);
  EXPECT_FALSE(stdfs::exists(source()));
  struct stat info {};
  ASSERT_EQ(stat(target().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  // Replacing an existing file the same way.
  writeFile(source(), "second");
  EXPECT_TRUE(test::reported(fs::moveFile(source(), target(), true), &code_, &message_)) << code_;
  EXPECT_EQ(readFile(target()), "second");
  EXPECT_FALSE(stdfs::exists(source()));
  EXPECT_EQ(targetDirNames(), std::vector<std::string>{"target"});
}

TEST_P(CrossDeviceMoveTest, ExistingTargetIsNotReplacedWithoutTheChoice) {
  writeFile(source(), "new");
  writeFile(target(), "old");
  EXPECT_FALSE(test::reported(fs::moveFile(source(), target()), &code_, &message_));
  EXPECT_EQ(code_, EEXIST);
  EXPECT_EQ(message_, "MoveFileW Failed");
  EXPECT_EQ(readFile(source()), "new");
  EXPECT_EQ(readFile(target()), "old");
  EXPECT_EQ(targetDirNames(), std::vector<std::string>{"target"});
}

TEST_P(CrossDeviceMoveTest, CopyCutShortKeepsSourceAndTargetAndNoTemporary) {
  if (!zephyl::test::FileSizeLimit::supported()) {
    GTEST_SKIP() << zephyl::test::kNoFileSizeLimit;
  }
  const std::string content = largeContent();
  writeFile(source(), content);
  writeFile(target(), "old");
  {
    test::FileSizeLimit limit(64 * 1024);
    ASSERT_TRUE(limit.applied());
    EXPECT_FALSE(test::reported(fs::moveFile(source(), target(), true), &code_, &message_));
    EXPECT_FALSE(test::reported(fs::copyFile(source(), path("copy"), true), nullptr, nullptr));
  }
  EXPECT_EQ(code_, EFBIG);
  EXPECT_EQ(message_, "MoveFileW Failed");
  EXPECT_TRUE(readFile(source()) == content);
  EXPECT_EQ(readFile(target()), "old");
  EXPECT_EQ(targetDirNames(), std::vector<std::string>{"target"});
  EXPECT_FALSE(stdfs::exists(path("copy")));
}

INSTANTIATE_TEST_SUITE_P(BothDirections, CrossDeviceMoveTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "DiskToTmpfs" : "TmpfsToDisk";
                         });

// ---- Syncing and memory ----

TEST_F(FsTest, SyncAndWriteOutWriteBufferedDataAndRefuseNull) {
  for (auto* flush : {&fs::syncFile, &fs::writeOutFile}) {
    FILE* file = fs::fOpenFile(path("f"), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite("abc", 1, 3, file), 3u);
    EXPECT_TRUE(test::reported(flush(file), &code_, &message_));
    EXPECT_EQ(readFile(path("f")), "abc");  // visible before the stream is closed
    std::fclose(file);
    code_ = 0;
    message_.clear();
    EXPECT_FALSE(test::reported(flush(nullptr), &code_, &message_));
    EXPECT_EQ(code_, EINVAL);
    EXPECT_EQ(message_, std::strerror(EINVAL));
  }
}

TEST_F(FsTest, PhysicalMemoryIsTheSystemsTotalInBytes) {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  int64_t totalKb = 0;
  while (std::getline(meminfo, line)) {
    if (line.rfind("MemTotal:", 0) == 0) std::istringstream(line.substr(9)) >> totalKb;
  }
  if (totalKb == 0) GTEST_SKIP() << "no MemTotal in /proc/meminfo";
  EXPECT_EQ(fs::physicalMemoryBytes(), totalKb * 1024);
}

// ---- Byte locks ----

TEST_F(FsTest, ByteLocksConflictBetweenHandlesAndEndWithTheirHandle) {
  fs::LockFileHandle first = fs::openLockFile(path("locks"), test::ReportTo(&code_, &message_));
  fs::LockFileHandle second =
      fs::openLockFile(root_ + "\\locks", test::ReportTo(&code_, &message_));
  ASSERT_TRUE(first && second);
  const uint64_t far = (uint64_t{1} << 62) - 1;
  EXPECT_EQ(fs::tryLockByte(first.get(), far), fs::ByteLock::Locked);
  EXPECT_EQ(fs::tryLockByte(first.get(), far), fs::ByteLock::Locked);  // a handle holds it once
  EXPECT_EQ(fs::tryLockByte(second.get(), far), fs::ByteLock::Busy);
  EXPECT_EQ(fs::tryLockByte(second.get(), far - 1), fs::ByteLock::Locked);
  EXPECT_EQ(fs::tryLockByte(first.get(), far - 1), fs::ByteLock::Busy);

  fs::unlockByte(first.get(), far);
  EXPECT_EQ(fs::tryLockByte(second.get(), far), fs::ByteLock::Locked);
  second.reset();
  EXPECT_EQ(fs::tryLockByte(first.get(), far), fs::ByteLock::Locked);
  EXPECT_EQ(fs::tryLockByte(first.get(), far - 1), fs::ByteLock::Locked);
  EXPECT_EQ(stdfs::file_size(path("locks")), 0u);
  EXPECT_EQ(code_, kUntouchedCode);

  EXPECT_EQ(fs::tryLockByte(first.get(), uint64_t{1} << 62, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Failed);
  EXPECT_EQ(code_, EINVAL);
  EXPECT_EQ(message_, "tryLockByte");
  EXPECT_EQ(fs::openLockFile(path("missing/locks"), test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_EQ(code_, ENOENT);
  EXPECT_EQ(message_, "openLockFile");
}

// ---- Splitting paths ----

TEST_F(FsTest, FileNameOfTakesTextAfterLastSeparatorOfEitherKind) {
  EXPECT_EQ(fs::fileNameOf("a/b/c.txt"), "c.txt");
  EXPECT_EQ(fs::fileNameOf("C:\\dir\\file.bin"), "file.bin");
  EXPECT_EQ(fs::fileNameOf("a\\b/c"), "c");
  EXPECT_EQ(fs::fileNameOf("a/b\\c"), "c");
  EXPECT_EQ(fs::fileNameOf("/x"), "x");
  EXPECT_EQ(fs::fileNameOf("a/b/"), "");
  EXPECT_EQ(fs::fileNameOf("a\\"), "");
  EXPECT_EQ(fs::fileNameOf("bare"), "");
  EXPECT_EQ(fs::fileNameOf(""), "");
}

TEST_F(FsTest, ParentDirOfTakesTextBeforeLastSeparatorOfEitherKind) {
  EXPECT_EQ(fs::parentDirOf("a/b/c.txt"), "a/b");
  EXPECT_EQ(fs::parentDirOf("C:\\dir\\file.bin"), "C:\\dir");
  EXPECT_EQ(fs::parentDirOf("a/b\\c"), "a/b");
  EXPECT_EQ(fs::parentDirOf("a\\b/c"), "a\\b");
  EXPECT_EQ(fs::parentDirOf("a/b/"), "a/b");
  EXPECT_EQ(fs::parentDirOf("/x"), "");
  EXPECT_EQ(fs::parentDirOf("bare"), "");
  EXPECT_EQ(fs::parentDirOf(""), "");
}

// ---- Error report ----

TEST_F(FsTest, ErrorLineIsLoggedAtInfoThreshold) {
  setLogThreshold(2);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(fs::removeFile(path("missing")).isOk());
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.rfind("[Zephyl][", 0), 0u) << printed;
  const std::string line = "] removeFile error, path = " + path("missing") +
                           " , errorCode = 2 , errorMsg = DeleteFileW Failed\n";
  EXPECT_NE(printed.find(line), std::string::npos) << printed;
  EXPECT_EQ(printed.size(), printed.find(line) + line.size()) << printed;
}

TEST_F(FsTest, ErrorLineIsNotLoggedAtWarnThreshold) {
  setLogThreshold(3);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(fs::removeFile(path("missing")).isOk());
  EXPECT_EQ(fs::statFileLength(path("missing")), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(FsTest, FailedOpenLogsItsLineAtDebugAndItsErrorFromInfo) {
  const std::string missing = path("missing");
  const std::string openLine = "] fopenFile " + missing + ", rb, ret = 2\n";
  const std::string errorLine =
      "] fOpenFile error, path = " + missing + " , errorCode = 2 , errorMsg = fOpenFile\n";
  setLogThreshold(3);
  testing::internal::CaptureStdout();
  EXPECT_EQ(fs::fOpenFile(missing, "rb"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  setLogThreshold(2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(fs::fOpenFile(missing, "rb"), nullptr);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.find(openLine), std::string::npos) << printed;
  EXPECT_NE(printed.find(errorLine), std::string::npos) << printed;

  setLogThreshold(1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(fs::fOpenFile(missing, "rb"), nullptr);
  printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find(openLine), std::string::npos) << printed;
  EXPECT_NE(printed.find(errorLine), std::string::npos) << printed;
}

// A reservation larger than the disk's free room fails before taking any of it: an allocation that
// fails part way keeps the blocks it got on some file systems (ext4), and a length a server merely
// claims would fill the user's disk.
TEST_F(FsTest, ReservationBeyondTheFreeRoomTakesNoneOfIt) {
  struct statvfs disk {};
  ASSERT_EQ(::statvfs(root_.c_str(), &disk), 0);
  const auto freeBytes = static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize);
  FILE* file = fs::fOpenFile(path("reserved.bin"), "wb+", test::ReportTo(&code_, &message_));
  ASSERT_NE(file, nullptr) << message_;
  EXPECT_FALSE(test::reported(fs::reserveFileSpace(file, freeBytes + (int64_t{1} << 30)), &code_,
                              &message_));
  EXPECT_EQ(code_, ENOSPC);
  struct stat info {};
  ASSERT_EQ(::fstat(::fileno(file), &info), 0);
  EXPECT_EQ(info.st_blocks, 0) << "the failed reservation kept blocks";
  std::fclose(file);
}

}  // namespace
}  // namespace zephyl

#endif  // _WIN32
