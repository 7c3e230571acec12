// The file-system layer on POSIX systems. Every platform call of the library lives in this file.
//
// Paths arrive as UTF-8 with "\" or "/" as separators. Before a path reaches the system each "\"
// becomes "/", so that a path built or split by the library names the same file on every
// platform; bytes that are not valid UTF-8 pass through unchanged, as POSIX names are bytes.
// Failures are reported with errno values as codes and the same operation names and messages as
// on every other platform.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/utilities.h"
#include "storage/fs.h"
#include "storage/fs_common.h"
#include "zephyl/zp_response.h"

namespace zephyl::fs {
namespace {

// 32-bit systems need _FILE_OFFSET_BITS=64 in the build for this to hold.
static_assert(sizeof(off_t) >= sizeof(int64_t), "seekFile needs 64-bit file offsets");

#ifdef PATH_MAX
constexpr size_t kSystemPathLimit = PATH_MAX;
#else
constexpr size_t kSystemPathLimit = 4096;
#endif

// The fixed buffers of the file-open path: UTF-16 units including the terminating zero.
constexpr size_t kOpenPathUnits = 1024;
constexpr size_t kOpenModeUnits = 64;

// Repeats a system call that returns -1 while it is interrupted by a signal.
template <typename Call>
auto retryOnInterrupt(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

// GNU strerror_r returns the text; the XSI variant returns 0 and fills the buffer.
[[maybe_unused]] const char* chooseErrorText(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* chooseErrorText(int returned, const char* buffer) {
  return returned == 0 ? buffer : "Unknown error";
}

// strerror without its shared buffer, so that concurrent failures do not garble each other.
std::string errorText(int code) {
  char buffer[256] = {};
  return chooseErrorText(strerror_r(code, buffer, sizeof buffer), buffer);
}

// The form of a path handed to the system: every "\" becomes "/". Fails with EINVAL for a zero
// byte, which would silently cut the name short, and with ENAMETOOLONG for a length the kernel
// refuses anyway (checked here so that walks over very long paths stay cheap).
bool toSystemPath(std::string_view path, std::string* systemPath, int* code) {
  if (path.find('\0') != std::string_view::npos) {
    *code = EINVAL;
    return false;
  }
  if (path.size() >= kSystemPathLimit) {
    *code = ENAMETOOLONG;
    return false;
  }
  systemPath->assign(path);
  for (char& c : *systemPath) {
    if (c == '\\') c = '/';
  }
  return true;
}

// stat or lstat of a library path; errno holds the cause on failure.
bool statPath(std::string_view path, bool followLinks, struct stat* info) {
  std::string systemPath;
  int code = 0;
  if (!toSystemPath(path, &systemPath, &code)) {
    errno = code;
    return false;
  }
  const int result = retryOnInterrupt([&] {
    return followLinks ? ::stat(systemPath.c_str(), info) : ::lstat(systemPath.c_str(), info);
  });
  return result == 0;
}

bool isDirectory(std::string_view path) {
  struct stat info {};
  return statPath(path, true, &info) && S_ISDIR(info.st_mode);
}

// directory + "/" + name, the way the layer builds paths.
std::string joinPath(const std::string& directory, const std::string& name) {
  std::string joined;
  joined.reserve(directory.size() + 1 + name.size());
  joined.append(directory).append(1, '/').append(name);
  return joined;
}

// Names in a directory but "." and "..", in the system's order. dirFd stays open and owned by
// the caller. False with errno set when the directory cannot be read to its end.
bool readDirectoryNames(int dirFd, std::vector<std::string>* names) {
  const int listingFd = retryOnInterrupt([&] { return ::dup(dirFd); });
  if (listingFd == -1) return false;
  DIR* directory = ::fdopendir(listingFd);
  if (directory == nullptr) {
    const int code = errno;
    ::close(listingFd);
    errno = code;
    return false;
  }
  bool complete = true;
  for (;;) {
    errno = 0;
    // Safe here: this stream is private to the call; readdir_r is the deprecated alternative.
    const dirent* entry = ::readdir(directory);  // NOLINT(concurrency-mt-unsafe)
    if (entry == nullptr) {
      complete = errno == 0;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names->emplace_back(entry->d_name);
  }
  const int code = errno;
  ::closedir(directory);
  errno = code;
  return complete;
}

// Removes everything below an open directory. Entries are addressed relative to the directory's
// descriptor and never through a symbolic link: a link is unlinked, not followed, so removal
// cannot leave the tree even if a link is swapped in meanwhile. Failures are logged and skipped.
// Takes ownership of dirFd.
void removeContents(int dirFd, const std::string& displayPath) {
  std::vector<std::string> names;
  if (!readDirectoryNames(dirFd, &names)) {
    (void)reportError("listFiles", displayPath, -1, "listFiles");
    ::close(dirFd);
    return;
  }
  for (const std::string& name : names) {
    const std::string entryPath = joinPath(displayPath, name);
    struct stat info {};
    if (retryOnInterrupt(
            [&] { return ::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW); }) != 0) {
      continue;  // vanished meanwhile, or unreadable: nothing to remove
    }
    if (S_ISDIR(info.st_mode)) {
      const int childFd = retryOnInterrupt([&] {
        return ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      });
      if (childFd == -1) {
        (void)reportError("listFiles", entryPath, -1, "listFiles");
        continue;
      }
      removeContents(childFd, entryPath);
      // A directory that could not be emptied stays; its failures were logged above.
      retryOnInterrupt([&] { return ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR); });
    } else if (retryOnInterrupt([&] { return ::unlinkat(dirFd, name.c_str(), 0); }) != 0) {
      (void)reportError("removeFile", entryPath, errno, "DeleteFileW Failed");
    }
  }
  ::close(dirFd);
}

// Renames without replacing an existing target where the kernel or file system cannot do it in
// one call. A hard link fails atomically on an existing target; where links are not possible
// (directories, file systems without them) a checked rename leaves a small race window.
// Returns 0 or the error number.
int moveWithoutReplaceFallback(const std::string& source, const std::string& target) {
  if (retryOnInterrupt([&] { return ::link(source.c_str(), target.c_str()); }) == 0) {
    if (retryOnInterrupt([&] { return ::unlink(source.c_str()); }) == 0) return 0;
    const int code = errno;
    ::unlink(target.c_str());  // undo, so that a failed move leaves only the source
    return code;
  }
  const int linkCode = errno;
  if (linkCode == EEXIST || linkCode == ENOENT || linkCode == EXDEV || linkCode == ENOTDIR ||
      linkCode == ENAMETOOLONG || linkCode == ELOOP) {
    return linkCode;
  }
  struct stat info {};
  if (retryOnInterrupt([&] { return ::lstat(target.c_str(), &info); }) == 0) return EEXIST;
  if (retryOnInterrupt([&] { return ::rename(source.c_str(), target.c_str()); }) == 0) return 0;
  return errno;
}

#ifdef RENAME_NOREPLACE
// Errors of renameat2 that mean the kernel or file system lacks the no-replace flag (EINVAL also
// covers a few real failures, which the fallback then reports the same way).
bool isNoReplaceUnsupported(int code) {
  return code == EINVAL || code == ENOSYS || code == ENOTSUP || code == EOPNOTSUPP;
}
#endif

// Renames source to target unless target exists. Returns 0 or the error number.
int moveWithoutReplace(const std::string& source, const std::string& target) {
#ifdef RENAME_NOREPLACE
  if (retryOnInterrupt([&] {
        return ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
      }) == 0) {
    return 0;
  }
  if (!isNoReplaceUnsupported(errno)) return errno;
#endif
  return moveWithoutReplaceFallback(source, target);
}

// Renames source to target, replacing an existing target in one step. Returns 0 or the error
// number.
int renameReplacing(const std::string& source, const std::string& target) {
  return retryOnInterrupt([&] { return ::rename(source.c_str(), target.c_str()); }) == 0 ? 0
                                                                                         : errno;
}

// Buffer of one copy step: large enough that a big file costs few system calls.
constexpr size_t kCopyBufferBytes = 256 * 1024;
// Room kept for the decoration of a temporary name (".", ".XXXXXX") within a 255-byte name.
constexpr size_t kTemporaryNameKeep = 200;

// Writes all of size bytes. Returns 0 or the error number.
int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = retryOnInterrupt([&] { return ::write(fd, data, size); });
    if (written < 0) return errno;
    if (written == 0) return EIO;  // a write that stores nothing without an error still failed
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

// Copies the whole of sourceFd, from its start, to destinationFd. Returns 0 or the error number.
int copyContent(int sourceFd, int destinationFd) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferBytes]);
  if (!buffer) return ENOMEM;
  for (;;) {
    const ssize_t got =
        retryOnInterrupt([&] { return ::read(sourceFd, buffer.get(), kCopyBufferBytes); });
    if (got < 0) return errno;
    if (got == 0) return 0;
    const int code = writeAll(destinationFd, buffer.get(), static_cast<size_t>(got));
    if (code != 0) return code;
  }
}

// Puts a directory's entries (a rename into it) on stable storage. Best effort: some file
// systems refuse to sync a directory, and the file's own data was synced already.
void syncDirectory(const std::string& directory) {
  const int fd = retryOnInterrupt(
      [&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd == -1) return;
  (void)retryOnInterrupt([&] { return ::fsync(fd); });
  ::close(fd);
}

// A new, empty temporary file in the directory of target (system paths), named after it and
// hidden: "<dir>/.<name>.XXXXXX". Returns its descriptor, or -1 with errno set.
int createTemporaryBeside(const std::string& target, std::string* temporaryPath) {
  const size_t separator = target.rfind('/');
  const std::string directory =
      separator == std::string::npos ? "" : target.substr(0, separator + 1);
  const std::string name = separator == std::string::npos ? target : target.substr(separator + 1);
  *temporaryPath = directory + "." + name.substr(0, kTemporaryNameKeep) + ".XXXXXX";
  return retryOnInterrupt([&] { return ::mkostemp(temporaryPath->data(), O_CLOEXEC); });
}

// Copies the regular file source into a temporary file beside target, gives it the source's
// permissions and times, puts its data on stable storage and renames it to target (replacing an
// existing target only when replace). Returns 0 or the error number; on failure the temporary
// file is removed and target is untouched.
int copyIntoPlace(const std::string& source, const std::string& target, bool replace) {
  const int sourceFd =
      retryOnInterrupt([&] { return ::open(source.c_str(), O_RDONLY | O_CLOEXEC); });
  if (sourceFd == -1) return errno;
  struct stat info {};
  if (::fstat(sourceFd, &info) != 0) {
    const int code = errno;
    ::close(sourceFd);
    return code;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(sourceFd);
    return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  }
  // Checked first so that a large file is not copied only to be refused; the final rename checks
  // again atomically.
  struct stat targetInfo {};
  if (!replace && retryOnInterrupt([&] { return ::lstat(target.c_str(), &targetInfo); }) == 0) {
    ::close(sourceFd);
    return EEXIST;
  }
  std::string temporary;
  const int temporaryFd = createTemporaryBeside(target, &temporary);
  if (temporaryFd == -1) {
    const int code = errno;
    ::close(sourceFd);
    return code;
  }
  int code = copyContent(sourceFd, temporaryFd);
  ::close(sourceFd);
  if (code == 0) {
    // What a rename would have kept; file systems without these attributes keep their defaults.
    (void)::fchmod(temporaryFd, info.st_mode & 07777);
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    (void)::futimens(temporaryFd, times);
    if (retryOnInterrupt([&] { return ::fdatasync(temporaryFd); }) != 0) code = errno;
  }
  // close may report a failed write-back of its own (network file systems).
  if (::close(temporaryFd) != 0 && code == 0 && errno != EINTR) code = errno;
  if (code == 0) {
    code = replace ? renameReplacing(temporary, target) : moveWithoutReplace(temporary, target);
  }
  if (code != 0) {
    ::unlink(temporary.c_str());
    return code;
  }
  const size_t separator = target.rfind('/');
  syncDirectory(separator == std::string::npos ? "." : target.substr(0, separator + 1));
  return 0;
}

// One directory with the mode it gets when it is new (less the umask); an existing directory
// counts as created.
Status createOneDirectoryWithMode(const std::string& path, mode_t mode) {
  std::string systemPath;
  int code = 0;
  if (toSystemPath(path, &systemPath, &code)) {
    if (retryOnInterrupt([&] { return ::mkdir(systemPath.c_str(), mode); }) == 0)
      return Status::ok();
    code = errno;
    // Only an existing directory counts as created: a file of that name is a failure.
    if (code == EEXIST && isDirectory(path)) return Status::ok();
  }
  return reportError("createOneDirectory", path, code, "CreateDirectoryW Failed");
}

Status createDirectoriesWithMode(const std::string& path, mode_t mode) {
  if (path.empty() || isDirectory(path)) return Status::ok();
  return createMissingLevels(
      path, 0, [mode](const std::string& level) { return createOneDirectoryWithMode(level, mode); });
}

// Takes group and other access away from the directory at path, which must be a real directory
// of this user. Checked and changed through one descriptor opened without following a link, so
// that a link swapped in meanwhile is refused rather than its target changed.
PrivateDirectory makePrivate(const std::string& path, Status* status) {
  std::string systemPath;
  int code = 0;
  int fd = -1;
  if (toSystemPath(path, &systemPath, &code)) {
    fd = retryOnInterrupt([&] {
      return ::open(systemPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
    code = fd == -1 ? errno : 0;
  }
  if (fd != -1) {
    struct stat info {};
    const bool own = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
    if (own && (info.st_mode & 07777) != S_IRWXU && ::fchmod(fd, S_IRWXU) != 0) code = errno;
    ::close(fd);
    if (own && code == 0) return PrivateDirectory::Ready;
    if (own) {
      storeStatus(status, reportError("createPrivateDirectories", path, code, errorText(code)));
      return PrivateDirectory::NotCreated;
    }
  } else if (code != ELOOP && code != ENOTDIR) {
    // Gone again, or not even readable: then nothing can be written through it either.
    storeStatus(status, reportError("createPrivateDirectories", path, code, errorText(code)));
    return PrivateDirectory::NotCreated;
  }
  storeStatus(status, reportError("createPrivateDirectories", path, EACCES,
                                  "not a directory of this user"));
  return PrivateDirectory::Unsafe;
}

// The open flags of an fopen mode and the mode fdopen then takes; false for a mode fopen
// refuses. After the access letter "+" asks for reading and writing and "x" for a new file;
// other letters ("b", "t", "e"...) change nothing here, and a "," ends the letters.
bool openFlagsOf(const std::string& mode, int* flags, std::string* streamMode) {
  if (mode.empty()) return false;
  bool update = false;
  bool exclusive = false;
  for (size_t i = 1; i < mode.size() && mode[i] != ','; ++i) {
    update = update || mode[i] == '+';
    exclusive = exclusive || mode[i] == 'x';
  }
  const int writeAccess = update ? O_RDWR : O_WRONLY;
  switch (mode[0]) {
    case 'r':
      *flags = update ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      *flags = writeAccess | O_CREAT | O_TRUNC | (exclusive ? O_EXCL : 0);
      break;
    case 'a':
      *flags = writeAccess | O_CREAT | O_APPEND | (exclusive ? O_EXCL : 0);
      break;
    default:
      return false;
  }
  // A write through a link in place of the file would land in whatever file the link names.
  if ((*flags & O_ACCMODE) != O_RDONLY) *flags |= O_NOFOLLOW;
  *flags |= O_CLOEXEC;  // child processes of the host do not inherit our files
  streamMode->assign(1, mode[0]);
  if (update) streamMode->append(1, '+');
  return true;
}

// A stream on systemPath opened with flags; null with *code set on failure.
FILE* openStream(const std::string& systemPath, int flags, const std::string& streamMode,
                 int* code) {
  const int fd = retryOnInterrupt([&] { return ::open(systemPath.c_str(), flags, 0666); });
  if (fd == -1) {
    *code = errno;
    return nullptr;
  }
  // POSIX opens a directory for reading; it can never be read as a file, so refuse it here.
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    *code = EISDIR;
    return nullptr;
  }
  FILE* file = ::fdopen(fd, streamMode.c_str());
  if (file == nullptr) {
    *code = errno;
    ::close(fd);
  }
  return file;
}

// Locks of the open file description (Linux): they conflict between two opens of the file even
// inside one process, and closing some other descriptor of the file does not drop them, unlike
// the process-wide locks of F_SETLK, which systems without the former fall back to.
#ifdef F_OFD_SETLK
constexpr int kSetLockCommand = F_OFD_SETLK;
#else
constexpr int kSetLockCommand = F_SETLK;
#endif

}  // namespace

// The lock file's descriptor and its path for reports.
struct LockFile {
  int fd = -1;
  std::string path;
};

bool entryIdentityOf(const std::string& path, EntryIdentity* identity) {
  struct stat info {};
  if (!statPath(path, false, &info)) return false;
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->entry = static_cast<uint64_t>(info.st_ino);
  identity->kindAndMode = static_cast<uint64_t>(info.st_mode);
  identity->owner = static_cast<uint64_t>(info.st_uid);
  return true;
}

bool exists(const std::string& path) {
  // The entry itself counts, so a dangling link is found too: it still occupies its name.
  struct stat info {};
  return statPath(path, false, &info);
}

Status createDirectories(const std::string& path) { return createDirectoriesWithMode(path, 0777); }

PrivateDirectory createPrivateDirectories(const std::string& path, Status* status) {
  // New levels are private from their first moment: no window in which others could enter them.
  Status created = createDirectoriesWithMode(path, S_IRWXU);
  if (!created.isOk()) {
    storeStatus(status, std::move(created));
    return PrivateDirectory::NotCreated;
  }
  return makePrivate(path, status);
}

Status createOneDirectory(const std::string& path) {
  return createOneDirectoryWithMode(path, 0777);
}

FILE* fOpenFile(const std::string& path, const std::string& mode, Status* status) {
  // The same limits as the fixed conversion buffers of the platforms that need them.
  if (utf8ToUtf16(path).size() >= kOpenPathUnits) {
    storeStatus(status, reportError("fOpenFile", path, ENAMETOOLONG, errorText(ENAMETOOLONG)));
    return nullptr;
  }
  if (mode.size() >= kOpenModeUnits) {
    storeStatus(status, reportError("fOpenFile", path, EINVAL, errorText(EINVAL)));
    return nullptr;
  }
  std::string systemPath;
  std::string streamMode;
  int flags = 0;
  int code = 0;
  FILE* file = nullptr;
  if (mode.find('\0') != std::string::npos || !openFlagsOf(mode, &flags, &streamMode)) {
    code = EINVAL;
  } else if (toSystemPath(path, &systemPath, &code)) {
    file = openStream(systemPath, flags, streamMode, &code);
  }
  if (file != nullptr) return file;
  // Through the log, never straight to standard output: a console host's output is its own.
  ZP_LOG(Debug) << "fopenFile " << path << ", " << mode << ", ret = " << code;
  // No second open follows: without sharing modes a read-only retry would either fail the same
  // way or hand a read-write caller a stream it cannot write.
  storeStatus(status, reportError("fOpenFile", path, code, "fOpenFile"));
  return nullptr;
}

Status seekFile(FILE* file, int64_t offset, int origin) {
  int code = EINVAL;
  if (file != nullptr) {
    if (retryOnInterrupt([&] { return ::fseeko(file, static_cast<off_t>(offset), origin); }) == 0) {
      return Status::ok();
    }
    code = errno;
  }
  return reportError("seekFile", "", code, errorText(code));
}

Status writeFileAt(FILE* file, int64_t offset, const void* data, size_t size) {
  int code = EINVAL;
  if (file != nullptr && offset >= 0) {
    const int descriptor = ::fileno(file);
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t written = 0;
    errno = 0;
    while (written < size) {
      const ssize_t result = retryOnInterrupt([&] {
        return ::pwrite(descriptor, bytes + written, size - written,
                        static_cast<off_t>(offset) + static_cast<off_t>(written));
      });
      if (result <= 0) break;
      written += static_cast<size_t>(result);
    }
    if (written == size) return Status::ok();
    // A write that stores nothing without an error (a full disk on some systems) is still one.
    code = errno != 0 ? errno : EIO;
  }
  return reportError("writeFileAt", "", code, errorText(code));
}

Status setFileModifiedTime(const std::string& path, int64_t unixSeconds) {
  std::string systemPath;
  int code = 0;
  if (toSystemPath(path, &systemPath, &code)) {
    code = EOVERFLOW;
    if (unixSeconds >= std::numeric_limits<time_t>::min() &&
        unixSeconds <= std::numeric_limits<time_t>::max()) {
      struct timespec times[2] = {};
      times[0].tv_nsec = UTIME_OMIT;
      times[1].tv_sec = static_cast<time_t>(unixSeconds);
      if (retryOnInterrupt([&] { return ::utimensat(AT_FDCWD, systemPath.c_str(), times, 0); }) ==
          0) {
        return Status::ok();
      }
      code = errno;
    }
  }
  return reportError("setFileModifiedTime", path, code, "setFileModifiedTime");
}

Status removeFile(const std::string& path) {
  std::string systemPath;
  int code = 0;
  if (toSystemPath(path, &systemPath, &code)) {
    if (retryOnInterrupt([&] { return ::unlink(systemPath.c_str()); }) == 0) return Status::ok();
    code = errno;
  }
  return reportError("removeFile", path, code, "DeleteFileW Failed");
}

Status removeDirectory(const std::string& path, bool removeSelf) {
  // Not even the named directory is reached through a link: a link planted in place of a
  // directory the library empties would otherwise have it empty the link's target.
  struct stat info {};
  if (!statPath(path, false, &info)) return Status::systemError(errno, "removeDirectory");
  if (!S_ISDIR(info.st_mode)) return Status::systemError(ENOTDIR, "removeDirectory");
  std::string systemPath;
  int code = 0;
  int dirFd = -1;
  if (toSystemPath(path, &systemPath, &code)) {
    dirFd = retryOnInterrupt([&] {
      return ::open(systemPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
  }
  if (dirFd == -1) {
    return reportError("listFiles", path, -1, "listFiles");
  }
  removeContents(dirFd, path);
  if (!removeSelf) return Status::ok();
  if (retryOnInterrupt([&] { return ::rmdir(systemPath.c_str()); }) == 0) return Status::ok();
  return Status::systemError(errno, "removeDirectory");
}

Status listFiles(const std::string& directory, std::vector<std::string>* out) {
  std::string systemPath;
  int code = 0;
  int dirFd = -1;
  if (toSystemPath(directory, &systemPath, &code)) {
    dirFd = retryOnInterrupt(
        [&] { return ::open(systemPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  }
  std::vector<std::string> names;
  const bool listed = dirFd != -1 && readDirectoryNames(dirFd, &names);
  if (dirFd != -1) ::close(dirFd);
  // A listing cut short by a read error fails as a whole rather than passing for complete.
  if (!listed) {
    return reportError("listFiles", directory, -1, "listFiles");
  }
  out->reserve(out->size() + names.size());
  for (const std::string& name : names) {
    // This layer reads "\" as a separator, so a name holding one would address another file
    // (through a link, one outside the directory): such names are never the library's and are
    // left out rather than handed on.
    if (name.find('\\') != std::string::npos) continue;
    out->push_back(joinPath(directory, name));
  }
  return Status::ok();
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return statPath(path, false, &info) && S_ISREG(info.st_mode);
}

bool directoryExists(const std::string& path) { return isDirectory(path); }

int64_t statFileLength(const std::string& path, Status* status) {
  struct stat info {};
  if (!statPath(path, true, &info)) {
    storeStatus(status, reportError("statFileLength", path, errno, "statFileLength"));
    return 0;
  }
  // Only regular files have a length of content; a directory measures 0 as elsewhere.
  return S_ISREG(info.st_mode) ? static_cast<int64_t>(info.st_size) : 0;
}

int64_t fileModifiedTimeMs(const std::string& path) {
  struct stat info {};
  if (!statPath(path, true, &info)) return 0;
  return static_cast<int64_t>(info.st_mtime) * 1000;
}

Status moveFile(const std::string& source, const std::string& target, bool replace) {
  std::string systemSource;
  std::string systemTarget;
  int code = 0;
  if (toSystemPath(source, &systemSource, &code) && toSystemPath(target, &systemTarget, &code)) {
    code = replace ? renameReplacing(systemSource, systemTarget)
                   : moveWithoutReplace(systemSource, systemTarget);
    // Another file system: copy, then let go of the source. Only regular files travel this way;
    // anything else keeps the rename's refusal.
    struct stat info {};
    if (code == EXDEV && statPath(systemSource, false, &info) && S_ISREG(info.st_mode)) {
      code = copyIntoPlace(systemSource, systemTarget, replace);
      if (code == 0) {
        if (retryOnInterrupt([&] { return ::unlink(systemSource.c_str()); }) != 0 &&
            isDetailLogEnabled()) {
          LogLine(3) << "moveFile copied, source kept, path = " << source
                     << " , errorCode = " << errno;
        }
        return Status::ok();
      }
    }
    if (code == 0) return Status::ok();
  }
  return reportError("moveFile", source, code, "MoveFileW Failed");
}

Status copyFile(const std::string& source, const std::string& target, bool replace) {
  std::string systemSource;
  std::string systemTarget;
  int code = 0;
  if (toSystemPath(source, &systemSource, &code) && toSystemPath(target, &systemTarget, &code)) {
    code = copyIntoPlace(systemSource, systemTarget, replace);
    if (code == 0) return Status::ok();
  }
  return reportError("copyFile", source, code, "CopyFileW Failed");
}

Status syncFile(FILE* file) {
  int code = EINVAL;
  if (file != nullptr) {
    if (std::fflush(file) == 0 &&
        retryOnInterrupt([&] { return ::fdatasync(::fileno(file)); }) == 0) {
      return Status::ok();
    }
    code = errno;
  }
  return reportError("syncFile", "", code, errorText(code));
}

Status writeOutFile(FILE* file) {
#if defined(__linux__)
  int code = EINVAL;
  if (file != nullptr) {
    // Waits for writes already under way, writes the rest, and waits for that: the whole file.
    constexpr unsigned kWriteAndWait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    const auto writeAndWait = [&] {
      return ::sync_file_range(::fileno(file), 0, 0, kWriteAndWait);
    };
    if (std::fflush(file) == 0 && retryOnInterrupt(writeAndWait) == 0) return Status::ok();
    code = errno;
  }
  return reportError("syncFile", "", code, errorText(code));
#else
  return syncFile(file);
#endif
}

Status truncateFile(FILE* file, int64_t size) {
  int code = EINVAL;
  if (file != nullptr && size >= 0) {
    const auto cut = [&] { return ::ftruncate(::fileno(file), static_cast<off_t>(size)); };
    if (std::fflush(file) == 0 && retryOnInterrupt(cut) == 0) return Status::ok();
    code = errno;
  }
  return reportError("truncateFile", "", code, errorText(code));
}

Status reserveFileSpace(FILE* file, int64_t length) {
  int code = EINVAL;
  if (file != nullptr && length >= 0) {
    const int descriptor = ::fileno(file);
    struct stat info {};
    struct statvfs disk {};
    if (::fstat(descriptor, &info) != 0) {
      code = errno;
    } else if (length <= info.st_size) {
      return Status::ok();
    } else if (retryOnInterrupt([&] { return ::fstatvfs(descriptor, &disk); }) == 0 &&
               static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize <
                   static_cast<uint64_t>(length - static_cast<int64_t>(info.st_size))) {
      // Told before anything is allocated: an allocation that fails part way may keep the
      // blocks it got, and a length a server merely claims must never fill the disk.
      code = ENOSPC;
    } else {
#if defined(__linux__)
      // Blocks past the end, the size unchanged: the file still tells how far it was written.
      const auto allocate = [&] {
        return ::fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
      };
      if (retryOnInterrupt(allocate) == 0) return Status::ok();
      code = errno;
      // Cutting the file at its own size frees whatever the failed allocation kept past it.
      (void)retryOnInterrupt([&] { return ::ftruncate(descriptor, info.st_size); });
      // Nothing can be held here; the room was there when looked at.
      if (code == EOPNOTSUPP || code == ENOSYS || code == EINVAL) return Status::ok();
#else
      // Nothing can be held here; the room was there when looked at.
      return Status::ok();
#endif
    }
  }
  return reportError("reserveFileSpace", "", code, errorText(code));
}

// POSIX file systems hold every name but "/" and the zero byte, which no component can contain.
Status checkPathNames(const std::string& /*path*/) { return Status::ok(); }

Status checkWritableDirectory(const std::string& path) {
  std::string systemPath;
  struct stat info {};
  int code = 0;
  if (!toSystemPath(path, &systemPath, &code)) {
    // code says why the path cannot reach the system
  } else if (!statPath(path, true, &info)) {
    code = errno;
  } else if (!S_ISDIR(info.st_mode)) {
    code = ENOTDIR;
  } else if (::access(systemPath.c_str(), W_OK | X_OK) == 0) {
    return Status::ok();
  } else {
    code = errno;
  }
  return reportError("checkWritableDirectory", path, code, errorText(code));
}

void startWriteback(FILE* file, int64_t offset, int64_t length) {
#if defined(__linux__)
  if (file == nullptr || offset < 0 || length <= 0) return;
  // SYNC_FILE_RANGE_WRITE alone queues the dirty pages for writing and does not wait for them.
  (void)retryOnInterrupt([&] {
    return ::sync_file_range(::fileno(file), static_cast<off64_t>(offset),
                             static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
  });
#else
  (void)file;
  (void)offset;
  (void)length;
#endif
}

int64_t physicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  if (pages > std::numeric_limits<int64_t>::max() / pageSize) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(pages) * pageSize;
}

void LockFileCloser::operator()(LockFile* file) const {
  if (file == nullptr) return;
  // Closing the last descriptor of the open file description releases its locks.
  ::close(file->fd);
  delete file;
}

LockFileHandle openLockFile(const std::string& path, Status* status) {
  std::string systemPath;
  int code = 0;
  if (toSystemPath(path, &systemPath, &code)) {
    const int fd = retryOnInterrupt([&] {
      return ::open(systemPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    });
    if (fd != -1) return LockFileHandle(new LockFile{fd, path});
    code = errno;
  }
  storeStatus(status, reportError("openLockFile", path, code, "openLockFile"));
  return nullptr;
}

ByteLock tryLockByte(LockFile* file, uint64_t offset, Status* status) {
  int code = EINVAL;
  if (file != nullptr && offset < (uint64_t{1} << 62)) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    if (retryOnInterrupt([&] { return ::fcntl(file->fd, kSetLockCommand, &lock); }) == 0) {
      return ByteLock::Locked;
    }
    code = errno;
    if (code == EAGAIN || code == EACCES) return ByteLock::Busy;
  }
  storeStatus(status, reportError("tryLockByte", file != nullptr ? file->path : std::string(), code,
                                  "tryLockByte"));
  return ByteLock::Failed;
}

void unlockByte(LockFile* file, uint64_t offset) {
  if (file == nullptr || offset >= (uint64_t{1} << 62)) return;
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = 1;
  (void)retryOnInterrupt([&] { return ::fcntl(file->fd, kSetLockCommand, &lock); });
}

int diskCauseOf(int systemCode) {
  switch (systemCode) {
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return ZPResponse::CAUSE_DISK_FULL;
    case EACCES:
    case EPERM:
      return ZPResponse::CAUSE_ACCESS_DENIED;
    case EBUSY:
    case ETXTBSY:
      return ZPResponse::CAUSE_FILE_IN_USE;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
      return ZPResponse::CAUSE_NO_SUCH_DRIVE;
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL:
      return ZPResponse::CAUSE_NAME_NOT_ALLOWED;
    case EROFS:
      return ZPResponse::CAUSE_READ_ONLY;
    default:
      return ZPResponse::CAUSE_DISK_ERROR;
  }
}

std::string systemErrorText(int systemCode) { return errorText(systemCode); }

Status volumeRoomOf(const std::string& path, VolumeRoom* room) {
  std::string existing = path;
  while (!existing.empty() && !isDirectory(existing)) {
    const std::string parent = parentDirOf(existing);
    existing = parent == existing ? std::string() : parent;
  }
  if (existing.empty()) existing = !path.empty() && path[0] == '/' ? "/" : ".";
  std::string systemPath;
  int code = 0;
  struct stat info {};
  struct statvfs disk {};
  if (!toSystemPath(existing, &systemPath, &code)) {
    // code says why the path cannot reach the system
  } else if (!statPath(existing, true, &info) ||
             retryOnInterrupt([&] { return ::statvfs(systemPath.c_str(), &disk); }) != 0) {
    code = errno;
  } else {
    room->volumeId = static_cast<uint64_t>(info.st_dev);
    const uint64_t bytes = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
    room->freeBytes = static_cast<int64_t>(
        std::min<uint64_t>(bytes, static_cast<uint64_t>(std::numeric_limits<int64_t>::max())));
    return Status::ok();
  }
  return reportError("volumeRoomOf", existing, code, errorText(code));
}

int diskFullCode() { return ENOSPC; }

}  // namespace zephyl::fs
