// The file-system layer on Windows. Every platform call of the library lives in this file.
//
// Paths arrive as UTF-8 with "\" or "/" as separators and reach the system as UTF-16 through
// the wide-character interface, every "/" turned into "\", so names outside the system code page
// work. A path of 1024 UTF-16 units or more is refused; one past the classic 260-unit limit is
// handed on in its "\\?\" form, which the system takes up to its own much larger limit. Text
// that is not valid UTF-8 is refused rather than replaced: two different byte names would
// otherwise reach the same file.
//
// Codes: the operations around C streams (seekFile, and fOpenFile where the system gave no
// number of its own) report errno values as the C run-time library sets them; all others report
// GetLastError() values with FormatMessageW's text. Operation names are the same as on every
// other platform.
//
// Sharing: streams that read open through _wfopen_s, which lets other readers in but no writer;
// when that meets a file another handle writes to (EACCES), a second open through CreateFileW
// that tolerates readers and writers serves. Streams that write open through CreateFileW with
// FILE_FLAG_OPEN_REPARSE_POINT, so that a symbolic link or junction in place of the file is
// refused instead of written through; they let readers and deleters in but no second writer.
// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include "storage/fs_windows.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/log.h"
#include "storage/fs.h"
#include "storage/fs_common.h"
#include "storage/path_text.h"
#include "zephyl/zp_response.h"

namespace zephyl::fs {
namespace {

// Every path handed to the system stays below this many UTF-16 units with its terminating zero.
constexpr size_t kPathUnits = 1024;
// The mode of an open stays below this many units with its terminating zero.
constexpr size_t kModeUnits = 64;
// From this length on a path goes to the system in its "\\?\" form (CreateDirectoryW's limit is
// the classic 260 less room for an 8.3 name).
constexpr size_t kClassicPathUnits = 248;

// Owner of a kernel handle.
struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Owner of a directory search.
struct FindCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

// The C library's text for an errno value, without strerror's shared buffer.
std::string errorText(int code) {
  char buffer[256] = {};
  if (strerror_s(buffer, sizeof buffer, code) != 0) return "Unknown error";
  return buffer;
}

// The UTF-8 text of UTF-16 units; false for units that are not valid UTF-16 (a lone surrogate).
bool toUtf8(std::wstring_view wide, std::string* text) {
  text->clear();
  if (wide.empty()) return true;
  if (wide.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return false;
  const int units = static_cast<int>(wide.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), units, nullptr,
                                        0, nullptr, nullptr);
  if (bytes <= 0) return false;
  text->resize(static_cast<size_t>(bytes));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), units, text->data(), bytes,
                             nullptr, nullptr) == bytes;
}

// The system's text for a GetLastError() value, in UTF-8, without the closing line break.
std::string windowsErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length == 0 || !toUtf8(std::wstring_view(buffer, length), &text)) {
    text = "Windows error " + std::to_string(code);
  }
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

int asCode(DWORD error) { return static_cast<int>(error); }

bool isPrefixed(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0; }

// The form in which a path reaches the system: long paths absolute and with the "\\?\" prefix,
// which turns off the classic length limit (and the system's own clean-up of "." and "..",
// which GetFullPathNameW has done by then).
std::wstring forSystem(std::wstring path) {
  if (path.size() < kClassicPathUnits || isPrefixed(path)) return path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return path;
  full.resize(written);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The UTF-16 form of a library path with "\" as its only separator, not yet in the system's
// form. False with *code set (a GetLastError() value) for a zero byte (which would cut the name
// short), text that is not UTF-8, or a path of kPathUnits units or more.
bool toWide(std::string_view path, std::wstring* wide, DWORD* code) {
  wide->clear();
  if (path.find('\0') != std::string_view::npos) {
    *code = ERROR_INVALID_NAME;
    return false;
  }
  if (path.empty()) return true;
  if (path.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    *code = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  const int bytes = static_cast<int>(path.size());
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), bytes, nullptr, 0);
  if (units <= 0) {
    *code = ERROR_NO_UNICODE_TRANSLATION;
    return false;
  }
  if (static_cast<size_t>(units) >= kPathUnits) {
    *code = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  wide->resize(static_cast<size_t>(units));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), bytes, wide->data(), units);
  std::replace(wide->begin(), wide->end(), L'/', L'\\');
  return true;
}

// toWide, then the system's form.
bool systemPath(std::string_view path, std::wstring* wide, DWORD* code) {
  if (!toWide(path, wide, code)) return false;
  *wide = forSystem(std::move(*wide));
  return true;
}

// Attributes of the entry itself (a link is not followed); INVALID_FILE_ATTRIBUTES when the path
// names nothing or cannot be converted.
DWORD attributesOf(std::string_view path) {
  std::wstring wide;
  DWORD code = 0;
  if (!systemPath(path, &wide, &code)) {
    SetLastError(code);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(wide.c_str());
}

bool isDirectoryAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The errno value that the C run-time library gives a GetLastError() value of a failed open.
int errnoOfOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      // Access denied, sharing and lock violations, a directory in the way, a read-only medium.
      return EACCES;
  }
}

// What an fopen mode asks of CreateFileW and of the stream made on the handle; false for a mode
// fopen refuses. After the access letter "+" asks for reading and writing, "x" for a new file,
// "t" for text mode (binary otherwise); other letters change nothing, and a "," ends them.
struct OpenMode {
  char access = 'r';
  bool update = false;
  bool exclusive = false;
  bool text = false;
};

bool parseMode(const std::string& mode, OpenMode* parsed) {
  if (mode.empty() || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) return false;
  parsed->access = mode[0];
  for (size_t i = 1; i < mode.size() && mode[i] != ','; ++i) {
    parsed->update = parsed->update || mode[i] == '+';
    parsed->exclusive = parsed->exclusive || mode[i] == 'x';
    parsed->text = parsed->text || mode[i] == 't';
  }
  return true;
}

// A stream that writes, opened without following a reparse point in place of the file.
// Null with *code (an errno value) set on failure, and *systemError the GetLastError() value
// behind it when the system refused the open (else untouched).
FILE* openWritingStream(const std::wstring& widePath, const OpenMode& mode, int* code,
                        DWORD* systemError) {
  DWORD access = GENERIC_WRITE;
  if (mode.update || mode.access == 'r') access |= GENERIC_READ;
  DWORD disposition = OPEN_ALWAYS;
  if (mode.access == 'r') disposition = OPEN_EXISTING;
  if (mode.exclusive && mode.access != 'r') disposition = CREATE_NEW;
  HANDLE raw =
      CreateFileW(widePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (raw == INVALID_HANDLE_VALUE) {
    *systemError = GetLastError();
    *code = errnoOfOpenError(*systemError);
    return nullptr;
  }
  UniqueHandle handle(raw);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(raw, &info)) {
    *code = EACCES;
    return nullptr;
  }
  // The entry opened is the link itself: refused, and left as it was.
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *code = ELOOP;
    return nullptr;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *code = EISDIR;
    return nullptr;
  }
  // "w" empties the file only now, once it is known to be a file of its own.
  if (mode.access == 'w' && !mode.exclusive && !SetEndOfFile(raw)) {
    *systemError = GetLastError();
    *code = errnoOfOpenError(*systemError);
    return nullptr;
  }
  int flags = mode.text ? _O_TEXT : _O_BINARY;
  if (mode.access == 'a') flags |= _O_APPEND;
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(raw), flags);
  if (descriptor == -1) {
    *code = errno != 0 ? errno : EMFILE;
    return nullptr;
  }
  handle.release();  // the descriptor owns it now
  std::string streamMode(1, mode.access);
  if (mode.update) streamMode += '+';
  streamMode += mode.text ? 't' : 'b';
  FILE* file = _fdopen(descriptor, streamMode.c_str());
  if (file == nullptr) {
    *code = errno;
    _close(descriptor);
  }
  return file;
}

// The HANDLE under a stream; INVALID_HANDLE_VALUE for a stream without one.
HANDLE handleOf(FILE* file) {
  const int descriptor = _fileno(file);
  if (descriptor < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// Buffer of one copy step: large enough that a big file costs few system calls.
constexpr DWORD kCopyBufferBytes = 256 * 1024;
// Room kept for the name of a temporary file made from its target's name.
constexpr size_t kTemporaryNameKeep = 120;

// Writes all of size bytes at the handle's position. Returns 0 or the GetLastError() value.
DWORD writeAll(HANDLE handle, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, data, size, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    data += written;
    size -= written;
  }
  return 0;
}

// Copies the whole of source, from its position, to destination. Returns 0 or the error.
DWORD copyContent(HANDLE source, HANDLE destination) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferBytes]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(source, buffer.get(), kCopyBufferBytes, &got, nullptr)) return GetLastError();
    if (got == 0) return 0;
    const DWORD code = writeAll(destination, buffer.get(), got);
    if (code != 0) return code;
  }
}

// A new, empty temporary file beside target, named after it and hidden from a casual listing:
// "<dir>\.<name>.<number>.tmp". Returns its handle (INVALID_HANDLE_VALUE with the error left in
// GetLastError() on failure).
HANDLE createTemporaryBeside(const std::wstring& target, std::wstring* temporaryPath) {
  static std::atomic<unsigned> counter{0};
  const size_t separator = target.rfind(L'\\');
  const std::wstring directory =
      separator == std::wstring::npos ? L"" : target.substr(0, separator + 1);
  const std::wstring name = separator == std::wstring::npos ? target : target.substr(separator + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned long long number =
        (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ (GetTickCount64() << 8) ^
        counter.fetch_add(1, std::memory_order_relaxed);
    *temporaryPath = directory + L"." + name.substr(0, kTemporaryNameKeep) + L"." +
                     std::to_wstring(number) + L".tmp";
    HANDLE handle = CreateFileW(temporaryPath->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return handle;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// Copies the regular file source into a temporary file beside target, gives it the source's
// times, puts its data on stable storage and renames it to target (replacing an existing target
// only when replace). Returns 0 or the GetLastError() value; on failure the temporary file is
// removed and target is untouched. Both paths are in the system's form.
DWORD copyIntoPlace(const std::wstring& source, const std::wstring& target, bool replace) {
  UniqueHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (input.get() == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(input.get(), &info)) return GetLastError();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_ACCESS_DENIED;
  // Checked first so that a large file is not copied only to be refused; the final rename checks
  // again atomically.
  if (!replace && GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return ERROR_ALREADY_EXISTS;
  }
  std::wstring temporary;
  UniqueHandle output(createTemporaryBeside(target, &temporary));
  if (output.get() == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD code = copyContent(input.get(), output.get());
  input.reset();
  if (code == 0) {
    // What a rename would have kept; a file system without these times keeps its own.
    (void)SetFileTime(output.get(), &info.ftCreationTime, &info.ftLastAccessTime,
                      &info.ftLastWriteTime);
    if (!FlushFileBuffers(output.get())) code = GetLastError();
  }
  output.reset();
  if (code == 0) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(temporary.c_str(), target.c_str(), flags)) code = GetLastError();
  }
  if (code != 0) DeleteFileW(temporary.c_str());
  return code;
}

// One directory; an existing directory counts as created. GetLastError() codes.
Status createOneDirectoryChecked(const std::string& path) {
  std::wstring wide;
  DWORD code = 0;
  if (systemPath(path, &wide, &code)) {
    if (CreateDirectoryW(wide.c_str(), nullptr)) return Status::ok();
    code = GetLastError();
    // Only an existing directory counts as created: a file of that name is a failure.
    if (code == ERROR_ALREADY_EXISTS && isDirectoryAttributes(GetFileAttributesW(wide.c_str()))) {
      return Status::ok();
    }
  }
  return reportError("createOneDirectory", path, asCode(code), "CreateDirectoryW Failed");
}

// Removes everything below the directory at widePath (the system's form). Reparse points are
// removed themselves, never entered: a junction inside the tree leads out of it. Failures are
// logged and skipped.
void removeContents(const std::wstring& widePath, const std::string& displayPath) {
  WIN32_FIND_DATAW entry{};
  UniqueFind search(FindFirstFileW((widePath + L"\\*").c_str(), &entry));
  if (search.get() == INVALID_HANDLE_VALUE) {
    (void)reportError("listFiles", displayPath, -1, "listFiles");
    return;
  }
  do {
    const std::wstring_view name(entry.cFileName);
    if (name == L"." || name == L"..") continue;
    const std::wstring child = forSystem(widePath + L"\\" + std::wstring(name));
    std::string childName;
    if (!toUtf8(name, &childName)) childName = "?";
    const std::string childDisplay = displayPath + "/" + childName;
    const DWORD attributes = entry.dwFileAttributes;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      removeContents(child, childDisplay);
    }
    // A read-only file cannot be deleted; the library's files never are, but a user's may be.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesW(child.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    // A directory that could not be emptied stays; its failures were logged above.
    if (directory) {
      RemoveDirectoryW(child.c_str());
    } else if (!DeleteFileW(child.c_str())) {
      (void)reportError("removeFile", childDisplay, asCode(GetLastError()), "DeleteFileW Failed");
    }
  } while (FindNextFileW(search.get(), &entry));
}

}  // namespace

// The lock file's handle and its path for reports.
struct LockFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
};

FILE* tryOpenFileByShareMode(const std::wstring& widePath, Status* status) {
  HANDLE handle = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ZP_LOG(Debug) << "tryOpenFileByShareMode ret, handle = "
                << static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle));
  if (handle == INVALID_HANDLE_VALUE) {
    storeStatus(status,
                reportError("tryOpenFileByShareMode", "", -1, "CreateFileW shareMode failed"));
    return nullptr;
  }
  // Binary: a text-mode stream would turn "\r\n" into "\n" and stop at the first 0x1A byte,
  // which no reader of a downloaded file expects.
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (descriptor == -1) {
    ZP_LOG(Debug) << "tryOpenFileByShareMode failed, fd = "
                  << static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle));
    storeStatus(status, reportError("tryOpenFileByShareMode", "", -1, "_open_osfhandle failed"));
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(descriptor, "rb");
  if (file == nullptr) {
    const int code = errno;
    storeStatus(status, reportError("_fdopen", "", code, errorText(code)));
    _close(descriptor);  // closes the handle too
    return nullptr;
  }
  ZP_LOG(Debug) << "tryOpenFileByShareMode success";
  return file;
}

bool exists(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool entryIdentityOf(const std::string& path, EntryIdentity* identity) {
  // The attributes tell a directory from a reparse point put in its place.
  const DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  *identity = EntryIdentity{};
  identity->kindAndMode = attributes;
  return true;
}

Status createDirectories(const std::string& path) {
  if (path.empty() || isDirectoryAttributes(attributesOf(path))) return Status::ok();
  // A drive or a share is never made: the walk stops below it, and the first level below it
  // fails with the system's word on the drive or share when that is not there.
  return createMissingLevels(path, pathRootLength(path), createOneDirectoryChecked);
}

// New levels get the access rules they inherit from their parent, which below a user's profile
// (where a host keeps its storage) admit only the user, the administrators and the system. What
// is checked is that the directory is a real one and not a reparse point leading elsewhere.
PrivateDirectory createPrivateDirectories(const std::string& path, Status* status) {
  Status created = createDirectories(path);
  if (!created.isOk()) {
    storeStatus(status, std::move(created));
    return PrivateDirectory::NotCreated;
  }
  const DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    storeStatus(status, reportError("createPrivateDirectories", path, asCode(code),
                                    windowsErrorText(code)));
    return PrivateDirectory::NotCreated;
  }
  if (!isDirectoryAttributes(attributes) || isReparsePoint(attributes)) {
    storeStatus(status, reportError("createPrivateDirectories", path, ERROR_ACCESS_DENIED,
                                    "not a directory of this user"));
    return PrivateDirectory::Unsafe;
  }
  return PrivateDirectory::Ready;
}

Status createOneDirectory(const std::string& path) { return createOneDirectoryChecked(path); }

FILE* fOpenFile(const std::string& path, const std::string& mode, Status* status) {
  std::wstring widePath;
  DWORD conversionError = 0;
  if (!toWide(path, &widePath, &conversionError)) {
    const int code = conversionError == ERROR_FILENAME_EXCED_RANGE     ? ENAMETOOLONG
                     : conversionError == ERROR_NO_UNICODE_TRANSLATION ? EILSEQ
                                                                       : EINVAL;
    storeStatus(status, reportError("fOpenFile", path, code, errorText(code)));
    return nullptr;
  }
  widePath = forSystem(std::move(widePath));
  OpenMode parsed;
  if (mode.size() >= kModeUnits || mode.find('\0') != std::string::npos ||
      !parseMode(mode, &parsed)) {
    storeStatus(status, reportError("fOpenFile", path, EINVAL, errorText(EINVAL)));
    return nullptr;
  }
  FILE* file = nullptr;
  int code = 0;
  DWORD systemError = 0;
  const bool writes = parsed.update || parsed.access != 'r';
  if (writes) {
    file = openWritingStream(widePath, parsed, &code, &systemError);
  } else {
    const std::wstring wideMode(mode.begin(), mode.end());  // ASCII letters, checked above
    // _doserrno keeps the system's number of a failed open (the run-time library of MinGW has no
    // _get_doserrno).
    _doserrno = 0;
    code = _wfopen_s(&file, widePath.c_str(), wideMode.c_str());
    if (code != 0) file = nullptr;
    if (code != 0) systemError = static_cast<DWORD>(_doserrno);
  }
  if (file != nullptr) return file;
  // Through the log, never straight to standard output: a console host's output is its own.
  ZP_LOG(Debug) << "fopenFile " << path << ", " << mode << ", ret = " << code;
  // A reader kept out by a writer's sharing rules gets a second, more tolerant open. A mode that
  // writes gets none: a read-only stream would pass for the writable one it asked for.
  if (code == EACCES && !writes) return tryOpenFileByShareMode(widePath, status);
  // The system's own number and text when it refused the open (a file in use, a drive that is
  // not there), rather than the run-time library's coarser errno for it.
  if (systemError != 0) {
    storeStatus(status,
                reportError("fOpenFile", path, asCode(systemError), windowsErrorText(systemError)));
    return nullptr;
  }
  storeStatus(status, reportError("fOpenFile", path, code, "fOpenFile"));
  return nullptr;
}

Status seekFile(FILE* file, int64_t offset, int origin) {
  int code = EINVAL;
  if (file != nullptr) {
    if (_fseeki64(file, offset, origin) == 0) return Status::ok();
    code = errno;
  }
  return reportError("seekFile", "", code, errorText(code));
}

Status writeFileAt(FILE* file, int64_t offset, const void* data, size_t size) {
  DWORD code = ERROR_INVALID_PARAMETER;
  const HANDLE handle = file != nullptr ? handleOf(file) : INVALID_HANDLE_VALUE;
  if (handle != INVALID_HANDLE_VALUE && offset >= 0) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t written = 0;
    code = 0;
    while (written < size) {
      // Each write names its offset; the handle's own position is not used.
      const uint64_t at = static_cast<uint64_t>(offset) + written;
      OVERLAPPED position{};
      position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
      position.OffsetHigh = static_cast<DWORD>(at >> 32);
      const DWORD step = static_cast<DWORD>(std::min<size_t>(size - written, 1u << 30));
      DWORD done = 0;
      if (!WriteFile(handle, bytes + written, step, &done, &position)) {
        code = GetLastError();
        break;
      }
      // A write that stores nothing without an error still failed.
      if (done == 0) {
        code = ERROR_WRITE_FAULT;
        break;
      }
      written += done;
    }
    if (code == 0) return Status::ok();
  }
  return reportError("writeFileAt", "", asCode(code), windowsErrorText(code));
}

Status setFileModifiedTime(const std::string& path, int64_t unixSeconds) {
  std::wstring wide;
  DWORD code = 0;
  if (systemPath(path, &wide, &code)) {
    // FILETIME counts 100 ns steps since 1601-01-01; 11644473600 s lie between 1601 and 1970.
    constexpr int64_t kEpochDifferenceSeconds = 11644473600;
    constexpr int64_t kTicksPerSecond = 10000000;
    code = ERROR_INVALID_PARAMETER;
    if (unixSeconds >= -kEpochDifferenceSeconds &&
        unixSeconds <=
            std::numeric_limits<int64_t>::max() / kTicksPerSecond - kEpochDifferenceSeconds) {
      const auto ticks =
          static_cast<uint64_t>((unixSeconds + kEpochDifferenceSeconds) * kTicksPerSecond);
      FILETIME time;
      time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
      time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
      UniqueHandle file(CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file.get() == INVALID_HANDLE_VALUE) {
        code = GetLastError();
      } else if (SetFileTime(file.get(), nullptr, nullptr, &time)) {
        return Status::ok();
      } else {
        code = GetLastError();
      }
    }
  }
  return reportError("setFileModifiedTime", path, asCode(code), "setFileModifiedTime");
}

Status removeFile(const std::string& path) {
  std::wstring wide;
  DWORD code = 0;
  if (systemPath(path, &wide, &code)) {
    if (DeleteFileW(wide.c_str())) return Status::ok();
    code = GetLastError();
  }
  return reportError("removeFile", path, asCode(code), "DeleteFileW Failed");
}

Status removeDirectory(const std::string& path, bool removeSelf) {
  // A reparse point in place of the directory is not entered: emptying it would empty its target.
  const DWORD attributes = attributesOf(path);
  if (!isDirectoryAttributes(attributes) || isReparsePoint(attributes)) {
    return Status::systemError(ERROR_DIRECTORY, "removeDirectory");
  }
  std::wstring wide;
  DWORD code = 0;
  if (!systemPath(path, &wide, &code)) {
    return reportError("listFiles", path, -1, "listFiles");
  }
  while (wide.size() > 1 && wide.back() == L'\\') wide.pop_back();
  removeContents(wide, path);
  if (!removeSelf) return Status::ok();
  if (RemoveDirectoryW(wide.c_str())) return Status::ok();
  return Status::systemError(asCode(GetLastError()), "removeDirectory");
}

Status listFiles(const std::string& directory, std::vector<std::string>* out) {
  std::wstring wide;
  DWORD code = 0;
  std::vector<std::string> paths;
  bool listed = false;
  if (systemPath(directory, &wide, &code)) {
    if (wide.empty() || wide.back() != L'\\') wide += L'\\';
    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW((wide + L"*").c_str(), &entry));
    if (search.get() != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring_view name(entry.cFileName);
        if (name == L"." || name == L"..") continue;
        std::string utf8Name;
        // A name that is not valid UTF-16 has no UTF-8 form that would name it again; it is not
        // one of the library's and is left out rather than handed on as a wrong path.
        if (!toUtf8(name, &utf8Name)) {
          if (isDetailLogEnabled()) LogLine(3) << "listFiles skips a name, path = " << directory;
          continue;
        }
        paths.push_back(directory + "/" + utf8Name);
      } while (FindNextFileW(search.get(), &entry));
      // A listing cut short by a read error fails as a whole rather than passing for complete.
      listed = GetLastError() == ERROR_NO_MORE_FILES;
    }
  }
  if (!listed) {
    return reportError("listFiles", directory, -1, "listFiles");
  }
  out->insert(out->end(), std::make_move_iterator(paths.begin()),
              std::make_move_iterator(paths.end()));
  return Status::ok();
}

bool isRegularFile(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool directoryExists(const std::string& path) {
  // A directory link or junction carries the directory attribute itself.
  return isDirectoryAttributes(attributesOf(path));
}

int64_t statFileLength(const std::string& path, Status* status) {
  std::wstring wide;
  DWORD code = 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (systemPath(path, &wide, &code)) {
    if (GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
      // Only files have a length of content; a directory measures 0 as elsewhere.
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
      return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                  data.nFileSizeLow);
    }
    code = GetLastError();
  }
  storeStatus(status, reportError("statFileLength", path, asCode(code), "statFileLength"));
  return 0;
}

int64_t fileModifiedTimeMs(const std::string& path) {
  std::wstring wide;
  DWORD code = 0;
  if (!toWide(path, &wide, &code)) return 0;
  struct _stat64i32 info {};
  if (_wstat64i32(wide.c_str(), &info) != 0) return 0;
  return static_cast<int64_t>(info.st_mtime) * 1000;
}

Status moveFile(const std::string& source, const std::string& target, bool replace) {
  std::wstring wideSource;
  std::wstring wideTarget;
  DWORD code = 0;
  if (systemPath(source, &wideSource, &code) && systemPath(target, &wideTarget, &code)) {
    // A rename only, replacing the target in one step when asked. Not MoveFileW: that copies to
    // another volume by itself, unflushed and with a partial file visible at the target
    // meanwhile. Another volume is handled below, the data flushed before the file appears.
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    const bool moved = MoveFileExW(wideSource.c_str(), wideTarget.c_str(), flags) != 0;
    if (moved) return Status::ok();
    code = GetLastError();
    // Another volume: copy, then let go of the source. Only files travel this way.
    if (code == ERROR_NOT_SAME_DEVICE && isRegularFile(source)) {
      code = copyIntoPlace(wideSource, wideTarget, replace);
      if (code == 0) {
        if (!DeleteFileW(wideSource.c_str()) && isDetailLogEnabled()) {
          LogLine(3) << "moveFile copied, source kept, path = " << source
                     << " , errorCode = " << GetLastError();
        }
        return Status::ok();
      }
    }
  }
  return reportError("moveFile", source, asCode(code), "MoveFileW Failed");
}

Status copyFile(const std::string& source, const std::string& target, bool replace) {
  std::wstring wideSource;
  std::wstring wideTarget;
  DWORD code = 0;
  if (systemPath(source, &wideSource, &code) && systemPath(target, &wideTarget, &code)) {
    code = copyIntoPlace(wideSource, wideTarget, replace);
    if (code == 0) return Status::ok();
  }
  return reportError("copyFile", source, asCode(code), "CopyFileW Failed");
}

Status syncFile(FILE* file) {
  if (file == nullptr) {
    return reportError("syncFile", "", ERROR_INVALID_PARAMETER,
                       windowsErrorText(ERROR_INVALID_PARAMETER));
  }
  if (std::fflush(file) != 0) {
    const int code = errno;
    return reportError("syncFile", "", code, errorText(code));
  }
  const HANDLE handle = handleOf(file);
  if (handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle)) return Status::ok();
  const DWORD code = handle == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : GetLastError();
  return reportError("syncFile", "", asCode(code), windowsErrorText(code));
}

Status writeOutFile(FILE* file) {
  // NTFS journals names, not data: only a full flush keeps the data ahead of the new name.
  return syncFile(file);
}

Status truncateFile(FILE* file, int64_t size) {
  if (file == nullptr || size < 0) {
    return reportError("truncateFile", "", ERROR_INVALID_PARAMETER,
                       windowsErrorText(ERROR_INVALID_PARAMETER));
  }
  if (std::fflush(file) != 0) {
    const int code = errno;
    return reportError("truncateFile", "", code, errorText(code));
  }
  const HANDLE handle = handleOf(file);
  // Sets the end of file by handle: the handle's position stays where it was.
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  if (handle != INVALID_HANDLE_VALUE &&
      SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end)) {
    return Status::ok();
  }
  const DWORD code = handle == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : GetLastError();
  return reportError("truncateFile", "", asCode(code), windowsErrorText(code));
}

Status reserveFileSpace(FILE* file, int64_t length) {
  const HANDLE handle = file != nullptr ? handleOf(file) : INVALID_HANDLE_VALUE;
  DWORD code = ERROR_INVALID_PARAMETER;
  if (handle != INVALID_HANDLE_VALUE && length >= 0) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) {
      code = GetLastError();
    } else if (length <= size.QuadPart) {
      // An allocation below the end of file would cut the file: never asked for.
      return Status::ok();
    } else {
      // The allocation size, not the end of file: the file still tells how far it was written.
      FILE_ALLOCATION_INFO allocation{};
      allocation.AllocationSize.QuadPart = length;
      if (SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation)) {
        return Status::ok();
      }
      code = GetLastError();
      // Only a lack of room fails the caller; a file system that cannot take an allocation
      // size holds nothing, as where the call is missing.
      if (code != ERROR_DISK_FULL && code != ERROR_HANDLE_DISK_FULL &&
          code != ERROR_FILE_TOO_LARGE) {
        return Status::ok();
      }
    }
  }
  return reportError("reserveFileSpace", "", asCode(code), windowsErrorText(code));
}

Status checkWritableDirectory(const std::string& path) {
  const DWORD attributes = attributesOf(path);
  if (isDirectoryAttributes(attributes)) return Status::ok();
  // A missing directory is reported as missing, a file in the way as not a directory.
  const DWORD code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
  return reportError("checkWritableDirectory", path, asCode(code), windowsErrorText(code));
}

Status checkPathNames(const std::string& path) {
  std::string fault = windowsNameFault(path);
  if (fault.empty()) return Status::ok();
  return reportError("checkPathNames", path, ERROR_INVALID_NAME, std::move(fault));
}

void startWriteback(FILE* /*file*/, int64_t /*offset*/, int64_t /*length*/) {
  // Windows has no call that starts writing a range without waiting for it; syncFile writes all.
}

int64_t physicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  if (status.ullTotalPhys > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(status.ullTotalPhys);
}

void LockFileCloser::operator()(LockFile* file) const {
  if (file == nullptr) return;
  // Closing the handle releases its locks.
  CloseHandle(file->handle);
  delete file;
}

LockFileHandle openLockFile(const std::string& path, Status* status) {
  std::wstring wide;
  DWORD code = 0;
  if (systemPath(path, &wide, &code)) {
    UniqueHandle handle(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (handle.get() != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info{};
      if (!GetFileInformationByHandle(handle.get(), &info)) {
        code = GetLastError();
      } else if ((info.dwFileAttributes &
                  (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        code = ERROR_CANT_ACCESS_FILE;  // a link or a directory in place of the lock file
      } else {
        return LockFileHandle(new LockFile{handle.release(), path});
      }
    } else {
      code = GetLastError();
    }
  }
  storeStatus(status, reportError("openLockFile", path, asCode(code), "openLockFile"));
  return nullptr;
}

ByteLock tryLockByte(LockFile* file, uint64_t offset, Status* status) {
  DWORD code = ERROR_INVALID_PARAMETER;
  if (file != nullptr && offset < (uint64_t{1} << 62)) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (LockFileEx(file->handle, LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0,
                   &position)) {
      return ByteLock::Locked;
    }
    code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return ByteLock::Busy;
  }
  storeStatus(status, reportError("tryLockByte", file != nullptr ? file->path : std::string(),
                                  asCode(code), "tryLockByte"));
  return ByteLock::Failed;
}

void unlockByte(LockFile* file, uint64_t offset) {
  if (file == nullptr || offset >= (uint64_t{1} << 62)) return;
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  (void)UnlockFileEx(file->handle, 0, 1, 0, &position);
}

int diskCauseOf(int systemCode) {
  // GetLastError() values, and the few errno values the stream operations report that no
  // common Windows error shares.
  switch (systemCode) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ENOSPC:
      return ZPResponse::CAUSE_DISK_FULL;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case EACCES:
      return ZPResponse::CAUSE_ACCESS_DENIED;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return ZPResponse::CAUSE_FILE_IN_USE;
    case ERROR_INVALID_DRIVE:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
      return ZPResponse::CAUSE_NO_SUCH_DRIVE;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_NO_UNICODE_TRANSLATION:
    case ERROR_DIRECTORY:
      return ZPResponse::CAUSE_NAME_NOT_ALLOWED;
    case ERROR_WRITE_PROTECT:
      return ZPResponse::CAUSE_READ_ONLY;
    default:
      return ZPResponse::CAUSE_DISK_ERROR;
  }
}

std::string systemErrorText(int systemCode) {
  return windowsErrorText(static_cast<DWORD>(systemCode));
}

Status volumeRoomOf(const std::string& path, VolumeRoom* room) {
  std::string existing = path;
  while (!existing.empty() && !isDirectoryAttributes(attributesOf(existing))) {
    const std::string parent = parentDirOf(existing);
    existing = parent == existing ? std::string() : parent;
  }
  if (existing.empty()) existing = ".";
  std::wstring wide;
  DWORD code = 0;
  if (systemPath(existing, &wide, &code)) {
    std::wstring volume(kPathUnits, L'\0');
    DWORD serial = 0;
    ULARGE_INTEGER available{};
    if (GetVolumePathNameW(wide.c_str(), volume.data(), static_cast<DWORD>(volume.size())) &&
        GetVolumeInformationW(volume.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr,
                              0) &&
        GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) {
      room->volumeId = serial;
      room->freeBytes = static_cast<int64_t>(std::min<uint64_t>(
          available.QuadPart, static_cast<uint64_t>(std::numeric_limits<int64_t>::max())));
      return Status::ok();
    }
    code = GetLastError();
  }
  return reportError("volumeRoomOf", existing, asCode(code), windowsErrorText(code));
}

int diskFullCode() { return ERROR_DISK_FULL; }

}  // namespace zephyl::fs
