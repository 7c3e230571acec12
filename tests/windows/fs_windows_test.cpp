// The Windows file-system layer (fs_windows.cpp) on what only Windows shows: names outside the
// code page and the UTF-16 they must become, "\" separators, sharing between openers, renames
// onto existing files, moves across volumes, the path limit, byte locks between two handles and
// reparse points. Codes are GetLastError() values, or errno values for stream operations.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include "storage/fs_windows.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "storage/file_handle.h"
#include "storage/fs.h"
#include "support/status_report.h"
#include "support/temp_dir.h"
#include "zephyl/zp_response.h"

namespace zephyl {
namespace {

constexpr int kUntouched = 12345;

// Content that text-mode reading would change: a CR LF pair and a Ctrl-Z (end of file in text).
const std::string kBinary(
    "a\r\nb\x1a"
    "c\0d",
    8);

std::string readAll(FILE* file) {
  std::string content;
  char buffer[256];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  return content;
}

bool writeFile(const std::string& path, const std::string& content) {
  FileHandle file(fs::fOpenFile(path, "wb"));
  return file && std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
}

std::string readFile(const std::string& path) {
  FileHandle file(fs::fOpenFile(path, "rb"));
  return file ? readAll(file.get()) : std::string("<unreadable>");
}

// A handle of "another opener", made directly through the system.
HANDLE openDirectly(const std::string& path, DWORD access, DWORD share) {
  return CreateFileW(utf8ToUtf16(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class FsWindowsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string path(const std::string& name) const { return dir_.file(name); }

  test::TempDir dir_;
  int code_ = kUntouched;
  std::string message_;
};

// Names whose UTF-8 and UTF-16 forms differ in length: two-byte Cyrillic, three-byte CJK, and
// an emoji that needs four bytes and a surrogate pair.
struct ForeignName {
  const char* label;
  const char* utf8;
  const wchar_t* utf16;
};

class ForeignNameTest : public FsWindowsTest, public testing::WithParamInterface<ForeignName> {};

TEST_P(ForeignNameTest, NamesReachTheSystemAsTheirUtf16AndComeBackAsUtf8) {
  const ForeignName& name = GetParam();
  const std::string directory = path(std::string(name.utf8) + "/" + name.utf8);
  ASSERT_TRUE(test::reported(fs::createDirectories(directory), &code_, &message_)) << code_;
  const std::string file = directory + "/" + name.utf8 + ".bin";
  ASSERT_TRUE(writeFile(file, kBinary));

  // The system sees exactly the UTF-16 name, not the bytes in some code page.
  const std::wstring wideFile = utf8ToUtf16(dir_.path()) + L"\\" + name.utf16 + L"\\" + name.utf16 +
                                L"\\" + name.utf16 + L".bin";
  EXPECT_NE(GetFileAttributesW(wideFile.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(fs::statFileLength(file, test::ReportTo(&code_, &message_)),
            static_cast<int64_t>(kBinary.size()));
  EXPECT_GT(fs::fileModifiedTimeMs(file), 0);
  EXPECT_EQ(readFile(file), kBinary);

  std::vector<std::string> listed;
  ASSERT_TRUE(test::reported(fs::listFiles(directory, &listed), &code_, &message_));
  EXPECT_EQ(listed, std::vector<std::string>{file});

  const std::string moved = path(std::string("moved-") + name.utf8);
  ASSERT_TRUE(test::reported(fs::moveFile(file, moved), &code_, &message_)) << code_;
  EXPECT_EQ(readFile(moved), kBinary);
  EXPECT_TRUE(test::reported(fs::removeFile(moved), &code_, &message_));
  EXPECT_TRUE(test::reported(fs::removeDirectory(path(name.utf8), true), &code_, &message_));
  EXPECT_FALSE(fs::exists(path(name.utf8)));
  EXPECT_EQ(code_, kUntouched);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ForeignNameTest,
    testing::Values(ForeignName{"Cyrillic",
                                "\xd0\xb7\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb0",
                                L"\x0437\x0430\x0433\x0440\x0443\x0437\x043a\x0430"},
                    ForeignName{"Cjk", "\xe4\xb8\x8b\xe8\xbd\xbd", L"\x4e0b\x8f7d"},
                    ForeignName{"Emoji", "file\xf0\x9f\x93\xa6", L"file\xd83d\xdce6"}),
    [](const testing::TestParamInfo<ForeignName>& info) { return std::string(info.param.label); });

TEST_F(FsWindowsTest, InvalidUtf8IsRefusedRatherThanReplaced) {
  // Two different invalid names would both become U+FFFD and reach the same file.
  EXPECT_EQ(fs::fOpenFile(path("bad\xff"), "wb", test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_EQ(code_, EILSEQ);
  EXPECT_FALSE(test::reported(fs::createDirectories(path("bad\xfe")), &code_, &message_));
  EXPECT_EQ(code_, ERROR_NO_UNICODE_TRANSLATION);
}

// The system's number and its own text reach the report, and the common ones have a cause
// of their own: a drive that is not there, a name Windows does not allow.
TEST_F(FsWindowsTest, SystemErrorsKeepTheirNumberTextAndCause) {
  // Q: is no drive of Wine's default set-up (C: and Z: are).
  EXPECT_EQ(fs::fOpenFile("Q:\\zephyl-missing\\x.bin", "wb", test::ReportTo(&code_, &message_)),
            nullptr);
  EXPECT_EQ(fs::diskCauseOf(code_), ZPResponse::CAUSE_NO_SUCH_DRIVE) << code_ << " " << message_;
  EXPECT_EQ(message_, fs::systemErrorText(code_));
  EXPECT_NE(message_.find_first_not_of(' '), std::string::npos);
  EXPECT_EQ(fs::diskCauseOf(ERROR_INVALID_NAME), ZPResponse::CAUSE_NAME_NOT_ALLOWED);
  EXPECT_EQ(fs::diskCauseOf(ERROR_ACCESS_DENIED), ZPResponse::CAUSE_ACCESS_DENIED);
  EXPECT_EQ(fs::diskCauseOf(ERROR_DISK_FULL), ZPResponse::CAUSE_DISK_FULL);
  EXPECT_NE(fs::systemErrorText(ERROR_DISK_FULL).find_first_not_of(' '), std::string::npos);
}

TEST_F(FsWindowsTest, BackslashesAndSlashesNameTheSameEntries) {
  std::string backslashed = dir_.path();
  for (char& c : backslashed) c = c == '/' ? '\\' : c;
  ASSERT_TRUE(test::reported(fs::createDirectories(backslashed + "\\a\\b"), &code_, &message_));
  ASSERT_TRUE(writeFile(backslashed + "\\a\\b\\f", "x"));
  EXPECT_TRUE(fs::isRegularFile(path("a/b/f")));
  EXPECT_TRUE(fs::exists(dir_.path() + "/a\\b/f"));
  EXPECT_EQ(fs::fileNameOf(backslashed + "\\a\\b\\f"), "f");
  EXPECT_EQ(fs::parentDirOf("C:\\x/y\\z"), "C:\\x/y");
  std::vector<std::string> listed;
  ASSERT_TRUE(fs::listFiles(backslashed + "\\a", &listed).isOk());
  EXPECT_EQ(listed, std::vector<std::string>{backslashed + "\\a/b"});
  EXPECT_TRUE(fs::removeDirectory(backslashed + "\\a", true).isOk());
  EXPECT_FALSE(fs::exists(path("a")));
}

// A writer elsewhere that lets readers and writers in. On Windows the sharing _wfopen_s asks for
// keeps a plain read out (EACCES) and the share-mode open serves it; Wine's run-time library
// already lets the plain read in. Either way the reader gets every byte, in binary, and a
// stream asked to write is never handed out read-only.
TEST_F(FsWindowsTest, FileHeldByAnotherOpenerIsReadThroughSharingButNeverWritten) {
  const std::string file = path("held.bin");
  ASSERT_TRUE(writeFile(file, kBinary));
  HANDLE writer = openDirectly(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  setLogThreshold(1);
  testing::internal::CaptureStdout();
  FILE* reader = fs::fOpenFile(file, "rb", test::ReportTo(&code_, &message_));
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_NE(reader, nullptr) << printed;
  EXPECT_EQ(readAll(reader), kBinary);
  std::fclose(reader);
  if (!printed.empty()) {
    EXPECT_NE(printed.find("] fopenFile " + file + ", rb, ret = 13\n"), std::string::npos)
        << printed;
    EXPECT_NE(printed.find("tryOpenFileByShareMode success\n"), std::string::npos) << printed;
  }
  EXPECT_EQ(code_, kUntouched);

  testing::internal::CaptureStdout();
  FILE* shared = fs::tryOpenFileByShareMode(utf8ToUtf16(file), test::ReportTo(&code_, &message_));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("tryOpenFileByShareMode success\n"),
            std::string::npos);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(readAll(shared), kBinary) << "the share-mode stream must read in binary";
  EXPECT_NE(std::fwrite("x", 1, 1, shared), 1u) << "the share-mode stream only reads";
  std::fclose(shared);

  // A writer is kept out by the other writer; no read-only stream is handed out instead. The
  // system's own number tells why: the file is in use.
  EXPECT_EQ(fs::fOpenFile(file, "rb+", test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_EQ(code_, static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(message_, fs::systemErrorText(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(fs::diskCauseOf(code_), ZPResponse::CAUSE_FILE_IN_USE);
  CloseHandle(writer);

  // An opener that shares nothing keeps every open out, cleanly.
  HANDLE exclusive = openDirectly(file, GENERIC_READ, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  code_ = kUntouched;
  testing::internal::CaptureStdout();
  EXPECT_EQ(fs::fOpenFile(file, "rb", test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("ret = 13\n"), std::string::npos);
  EXPECT_EQ(code_, -1);
  EXPECT_EQ(message_, "CreateFileW shareMode failed");
  EXPECT_EQ(fs::fOpenFile(file, "wb", test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_EQ(fs::diskCauseOf(code_), ZPResponse::CAUSE_FILE_IN_USE) << code_ << " " << message_;
  EXPECT_FALSE(message_.empty());
  CloseHandle(exclusive);
  setLogThreshold(5);
  EXPECT_EQ(readFile(file), kBinary) << "a refused write must not have emptied the file";
}

TEST_F(FsWindowsTest, MoveOntoAnExistingFileReplacesOnlyWhenAsked) {
  ASSERT_TRUE(writeFile(path("source"), "new"));
  ASSERT_TRUE(writeFile(path("target"), "old"));
  EXPECT_FALSE(test::reported(fs::moveFile(path("source"), path("target")), &code_, &message_));
  EXPECT_EQ(code_, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(message_, "MoveFileW Failed");
  EXPECT_EQ(readFile(path("source")), "new");
  EXPECT_EQ(readFile(path("target")), "old");
  ASSERT_TRUE(
      test::reported(fs::moveFile(path("source"), path("target"), true), &code_, &message_));
  EXPECT_EQ(readFile(path("target")), "new");
  EXPECT_FALSE(fs::exists(path("source")));
}

// Drive Y: is a tmpfs in the test prefix (./run-tests --windows maps it): a rename cannot cross
// to it, so the move copies beside the target, flushes, renames and then removes the source.
TEST_F(FsWindowsTest, MoveAcrossVolumesCopiesThenRemovesTheSource) {
  if (GetDriveTypeW(L"Y:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no drive Y: to move to";
  char pattern[] = "Y:/zephyl_move_XXXXXX";
  ASSERT_NE(test::makeTemporaryDirectory(pattern), nullptr);
  const std::string other = pattern;
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + 1);
  ASSERT_TRUE(writeFile(path("probe"), "p"));
  if (MoveFileExW(utf8ToUtf16(path("probe")).c_str(), utf8ToUtf16(other + "/probe").c_str(), 0) ||
      GetLastError() != ERROR_NOT_SAME_DEVICE) {
    fs::removeDirectory(other, true);
    GTEST_SKIP() << "drive Y: is on the same volume as " << dir_.path();
  }
  ASSERT_TRUE(writeFile(path("big"), content));
  ASSERT_TRUE(writeFile(other + "/taken", "old"));
  EXPECT_FALSE(test::reported(fs::moveFile(path("big"), other + "/taken"), &code_, &message_));
  EXPECT_EQ(code_, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(readFile(other + "/taken"), "old");
  ASSERT_TRUE(test::reported(fs::moveFile(path("big"), other + "/big"), &code_, &message_))
      << code_;
  EXPECT_EQ(readFile(other + "/big"), content);
  EXPECT_FALSE(fs::exists(path("big")));
  ASSERT_TRUE(writeFile(path("newer"), "newer"));
  ASSERT_TRUE(
      test::reported(fs::moveFile(path("newer"), other + "/taken", true), &code_, &message_));
  EXPECT_EQ(readFile(other + "/taken"), "newer");
  std::vector<std::string> listed;
  ASSERT_TRUE(fs::listFiles(other, &listed).isOk());
  EXPECT_EQ(listed.size(), 2u) << "a temporary copy stayed behind";
  fs::removeDirectory(other, true);
}

// The limit counts UTF-16 units, not bytes: 1023 units with the terminating zero still fit.
TEST_F(FsWindowsTest, PathLimitIs1024Utf16Units) {
  const std::string cyrillicLetter = "\xd0\xb6";  // two bytes, one unit
  std::string level;
  for (int i = 0; i < 99; ++i) level += cyrillicLetter;
  std::string deep = dir_.path();
  while (utf8ToUtf16(deep).size() + 1 + 99 + 1 + 20 < 1023) deep += "/" + level;
  ASSERT_TRUE(test::reported(fs::createDirectories(deep), &code_, &message_)) << code_;
  std::string file = deep + "/";
  while (utf8ToUtf16(file).size() < 1023) file += cyrillicLetter;
  ASSERT_EQ(utf8ToUtf16(file).size(), 1023u);
  ASSERT_GT(file.size(), 1024u);
  ASSERT_TRUE(writeFile(file, "deep")) << "a path of 1023 units is within the limit";
  EXPECT_EQ(readFile(file), "deep");
  EXPECT_EQ(fs::statFileLength(file), 4);

  const std::string tooLong = file + "x";
  EXPECT_EQ(fs::fOpenFile(tooLong, "wb", test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_EQ(code_, ENAMETOOLONG);
  EXPECT_FALSE(test::reported(fs::createDirectories(tooLong), &code_, &message_));
  EXPECT_EQ(code_, ERROR_FILENAME_EXCED_RANGE);
  EXPECT_TRUE(fs::removeDirectory(dir_.path(), false).isOk());
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(FsWindowsTest, ByteLocksBelongToTheirHandle) {
  fs::LockFileHandle first =
      fs::openLockFile(path("downloads.lock"), test::ReportTo(&code_, &message_));
  fs::LockFileHandle second =
      fs::openLockFile(path("downloads.lock"), test::ReportTo(&code_, &message_));
  ASSERT_TRUE(first && second) << code_;
  const uint64_t high = (uint64_t{1} << 40) + 3;  // above 4 GiB: the offset's high half counts
  EXPECT_EQ(fs::tryLockByte(first.get(), high, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Locked);
  EXPECT_EQ(fs::tryLockByte(second.get(), high, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Busy);
  EXPECT_EQ(fs::tryLockByte(second.get(), high + 1, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Locked);
  EXPECT_EQ(fs::tryLockByte(second.get(), 3, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Locked);
  fs::unlockByte(first.get(), high);
  EXPECT_EQ(fs::tryLockByte(second.get(), high, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Locked);
  second.reset();  // closing releases every lock of the handle
  EXPECT_EQ(fs::tryLockByte(first.get(), high, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Locked);
  EXPECT_EQ(fs::tryLockByte(first.get(), 3, test::ReportTo(&code_, &message_)),
            fs::ByteLock::Locked);
  EXPECT_EQ(code_, kUntouched);
}

// Wine cannot make reparse points; a Windows machine (with developer mode or privileges) can.
TEST_F(FsWindowsTest, ReparsePointsAreNeitherWrittenThroughNorEmptied) {
  ASSERT_TRUE(fs::createDirectories(path("outside")).isOk());
  ASSERT_TRUE(fs::createDirectories(path("links")).isOk());
  ASSERT_TRUE(writeFile(path("outside/keep"), "mine"));
  constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  if (!CreateSymbolicLinkW(utf8ToUtf16(path("links/file")).c_str(),
                           utf8ToUtf16(path("outside/keep")).c_str(), kUnprivileged) ||
      !CreateSymbolicLinkW(utf8ToUtf16(path("links/dir")).c_str(),
                           utf8ToUtf16(path("outside")).c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged)) {
    GTEST_SKIP() << "symbolic links cannot be made here (error " << GetLastError() << ")";
  }
  const DWORD linkAttributes = GetFileAttributesW(utf8ToUtf16(path("links/dir")).c_str());
  if (linkAttributes == INVALID_FILE_ATTRIBUTES ||
      (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "CreateSymbolicLinkW reports success but makes no reparse point (Wine)";
  }
  EXPECT_EQ(fs::fOpenFile(path("links/file"), "wb", test::ReportTo(&code_, &message_)), nullptr);
  EXPECT_EQ(code_, ELOOP);
  EXPECT_EQ(fs::createPrivateDirectories(path("links/dir"), test::ReportTo(&code_, &message_)),
            fs::PrivateDirectory::Unsafe);
  EXPECT_FALSE(fs::removeDirectory(path("links/dir"), false).isOk());
  EXPECT_TRUE(fs::removeDirectory(path("links"), false).isOk());  // the links go, not their targets
  EXPECT_FALSE(fs::exists(path("links/file")));
  EXPECT_FALSE(fs::exists(path("links/dir")));
  EXPECT_EQ(readFile(path("outside/keep")), "mine");
}

}  // namespace
}  // namespace zephyl
