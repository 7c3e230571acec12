// The file-system layer: every file and directory access of the library goes through these free
// functions, so that each platform has exactly one implementation of them (fs_posix.cpp, or
// fs_windows.cpp on Windows, where codes are GetLastError() values except for stream operations).
// Paths are UTF-8; "\" and "/" both separate, the last of either kind counts; built paths join
// with "/". An operation that only succeeds or fails returns a Status; one that returns a value
// stores its failure into the optional Status out-parameter and leaves it untouched on success.
// A failure's code and system code are both the platform's error number (the message as given
// below), and it writes one log line when detail logging is on. Thread-safe: no state, no locks;
// callers serialise work on one file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/status.h"

namespace zephyl::fs {

// The cause (a ZPResponse::CAUSE_* value of the local disk) of a failure this layer reported with
// systemCode, the platform's error number: a full disk, access denied, a file another program
// holds, a drive or directory that does not exist, a name the file system refuses, a read-only
// file system, or else CAUSE_DISK_ERROR.
int diskCauseOf(int systemCode);

// The platform's own text for an error number of this layer (strerror, FormatMessageW in UTF-8).
std::string systemErrorText(int systemCode);

// The file system (volume) holding a directory, and the room on it for the caller.
struct VolumeRoom {
  uint64_t volumeId = 0;  // equal for two paths on one file system
  int64_t freeBytes = 0;  // bytes the calling user may still write there
};
// The volume of the nearest existing directory at or above path. On failure the report of
// that directory (the platform's code and text), *room untouched.
[[nodiscard]] Status volumeRoomOf(const std::string& path, VolumeRoom* room);
// The platform's number for "no room left on the device" (ENOSPC, ERROR_DISK_FULL).
int diskFullCode();

// The path names an entry: a file, a directory, or a link (even a dangling one, which still
// occupies the name). Never reports.
bool exists(const std::string& path);

// Creates the directory and every missing parent. Ok when a directory exists there afterwards
// (a file of that name is a failure); an empty path counts as created. A failure is the report
// of the level that could not be created.
[[nodiscard]] Status createDirectories(const std::string& path);

// What createPrivateDirectories found.
enum class PrivateDirectory {
  Ready,       // a directory of the user's own, private to the user, is there
  NotCreated,  // it is missing and could not be created (a file in the way, no permission...)
  Unsafe,      // the name is taken by a link or by a directory of another user
};

// Like createDirectories, for the library's own storage: every level it creates is private to
// the user from the start (0700 here), and the directory itself, when it existed already, must
// be a real directory of the user's own (not a link to one) and is made private. Ready on
// success; otherwise the status holds the report: the failing level's for NotCreated,
// operation "createPrivateDirectories" with the path, the permission-denied code and the message
// "not a directory of this user" for Unsafe. Directories above the one that existed keep their
// modes.
[[nodiscard]] PrivateDirectory createPrivateDirectories(const std::string& path,
                                                        Status* status = nullptr);

// The entry at a path itself (a link is not followed): which entry of which volume it is, its
// kind and permission bits, and its owner, as far as the platform tells them (Windows: its
// attributes only). Equal identities read from one path mean the entry was neither replaced nor
// re-permitted in between: one system call where createPrivateDirectories takes several.
struct EntryIdentity {
  uint64_t volume = 0;
  uint64_t entry = 0;
  uint64_t kindAndMode = 0;
  uint64_t owner = 0;
  bool operator==(const EntryIdentity& other) const {
    return volume == other.volume && entry == other.entry && kindAndMode == other.kindAndMode &&
           owner == other.owner;
  }
};
// False, *identity untouched, when no entry can be read there. Never reports.
bool entryIdentityOf(const std::string& path, EntryIdentity* identity);

// Creates one directory; an existing directory counts as success, any other existing entry of
// that name fails with its "already exists" code.
[[nodiscard]] Status createOneDirectory(const std::string& path);

// Opens a C stream with an fopen mode ("rb", "rb+", "wb+"...). Null on failure. A mode that
// writes ("w", "a" or "+") never opens through a symbolic link in place of the file itself: such
// a link fails with the platform's "too many links" code (directories above it may be links). A
// directory is never opened as a stream. A path longer than the layer's path limit (1023 UTF-16
// units) fails with the name-too-long code and its text, a mode longer than 63 with the
// invalid-argument code and its text; every other failed open also prints
// "fopenFile <path>, <mode>, ret = <errno>" to stdout and has the message "fOpenFile" (on
// Windows, where the system refused the open, its GetLastError() value and text instead). The
// caller owns the stream and closes it with fclose.
[[nodiscard]] FILE* fOpenFile(const std::string& path, const std::string& mode,
                              Status* status = nullptr);

// Moves the stream's position; offset is 64-bit. A null stream fails with the invalid-argument
// code.
[[nodiscard]] Status seekFile(FILE* file, int64_t offset, int origin);

// Writes size bytes at the absolute offset of an unbuffered stream, in as many system writes as
// it takes, without moving the stream's position (on Windows the handle's position ends after
// the bytes written: read or write the stream only after a seekFile); concurrent calls at
// different offsets are safe. On failure the code is the system's error number and the message
// its text.
[[nodiscard]] Status writeFileAt(FILE* file, int64_t offset, const void* data, size_t size);

// Sets the last-modification time of the file at path to unixSeconds (seconds since 1970-01-01
// 00:00 UTC); the access time is left alone where the system allows (POSIX), else set too. A link
// at path is followed. Fails (reported as operation "setFileModifiedTime" with the message
// "setFileModifiedTime") for a missing entry or a time the system cannot hold.
[[nodiscard]] Status setFileModifiedTime(const std::string& path, int64_t unixSeconds);

// Deletes a file (not a directory). A link is removed itself, never what it points to.
Status removeFile(const std::string& path);

// Deletes everything inside a directory, recursively, and the directory itself when removeSelf.
// Fails when the path is not a directory (unlogged) or cannot be listed; failures inside are
// logged and skipped, and do not fail the call. Links are never followed: a link at path is not a
// directory here (a failure, nothing removed), links inside are removed themselves.
Status removeDirectory(const std::string& path, bool removeSelf);

// Appends "<directory>/<name>" for every entry but "." and "..", files and directories alike,
// in the system's order. out is not cleared. Fails (code -1, out unchanged) when the directory
// cannot be read to its end.
[[nodiscard]] Status listFiles(const std::string& directory, std::vector<std::string>* out);

// The path names a regular file itself: a link (even to a regular file), a directory or any
// other kind of entry does not count. Never reports.
bool isRegularFile(const std::string& path);

// The path names a directory, or a link to one. Never reports.
bool directoryExists(const std::string& path);

// Size in bytes of a file (0 for a directory); 0 (reported) when it cannot be read.
int64_t statFileLength(const std::string& path, Status* status = nullptr);

// Modification time in whole seconds times 1000; 0 when it cannot be read. Never reports.
int64_t fileModifiedTimeMs(const std::string& path);

// Renames source to target; never replaces an existing target (that fails with the platform's
// "already exists" code and leaves both in place). Same as moveFile(source, target, false, ...).
[[nodiscard]] Status moveFile(const std::string& source, const std::string& target);

// Moves source to target, also across file systems. Where one rename cannot do it (the two are
// on different file systems), the source is copied into a temporary file in the target's
// directory, flushed to stable storage, renamed into place and only then removed. With replace
// false an existing target is never replaced (the "already exists" code); with replace true it
// is replaced in one step, and only by a complete file. On failure the temporary file is gone
// and the source and any existing target are as they were. A source that cannot be removed
// after a complete copy leaves two files and counts as success. Reports operation "moveFile",
// the source path and "MoveFileW Failed".
[[nodiscard]] Status moveFile(const std::string& source, const std::string& target, bool replace);

// Copies source to target with the placement rules of moveFile (temporary file beside the
// target, flushed, renamed into place; replace as there) and keeps the source. Reports operation
// "copyFile", the source path and "CopyFileW Failed".
[[nodiscard]] Status copyFile(const std::string& source, const std::string& target, bool replace);

// Flushes the stream's buffer and puts the file's data on stable storage (the data and the size,
// not necessarily the other attributes). A null stream fails with the invalid-argument code;
// reports operation "syncFile" with the system's error text.
[[nodiscard]] Status syncFile(FILE* file);

// Flushes the stream's buffer and writes the file's data to the device, waiting until it is
// written, but without the journal commit and the flush of the device's cache that syncFile waits
// for. Enough before renaming a finished file into place on a journalling file system, which
// commits the new name only after the data the file's blocks hold (ext4 in its default ordered
// mode, XFS, btrfs): a crash leaves the old name or the whole file, never an empty one. Where the
// system has no such call (Windows, POSIX systems other than Linux) it is syncFile. Fails and
// reports as syncFile.
[[nodiscard]] Status writeOutFile(FILE* file);

// Starts writing the file's bytes in [offset, offset + length) to stable storage and returns
// without waiting for them, so that a later syncFile finds less left to write. Only a hint: it
// never fails the caller, and does nothing where the system has no such call (Windows, POSIX
// systems other than Linux).
void startWriteback(FILE* file, int64_t offset, int64_t length);

// Cuts the file (flushed first) to size bytes, or extends it with zeros. Reports operation
// "truncateFile" with the system's error text.
[[nodiscard]] Status truncateFile(FILE* file, int64_t size);

// Makes the disk hold room for the file's first length bytes without changing the file's size,
// so that writes there cannot later fail for want of space (on file systems that overwrite in
// place: not a promise on copy-on-write ones). On Linux the blocks are allocated beyond the end
// of the file (fallocate, keeping the size); where the file system cannot do that, or on other
// POSIX systems, nothing is held, and only the free space is compared with what the file lacks.
// On Windows the handle's allocation size is raised, which NTFS keeps while the file is open;
// where that is refused for another reason than space nothing is held. Ok when the room is
// held or seems to be there; fails with the system's no-space code (or "file too large") when the
// disk or the file system cannot take length bytes. Reports operation "reserveFileSpace".
[[nodiscard]] Status reserveFileSpace(FILE* file, int64_t length);

// Ok when path is a directory this process may create files in, as far as the system tells
// without writing there: on POSIX its permissions and a read-only mount count (access, which a
// read-only file system refuses even to root); on Windows only that it is a directory (its ACL
// is not read). Fails (reported as operation "checkWritableDirectory" with the path and the
// system's error text) otherwise.
[[nodiscard]] Status checkWritableDirectory(const std::string& path);

// Ok when this platform's file systems can hold every name of path below its root (a drive, a
// share). On Windows a component with a character it cannot hold (":*?"<>|" or a control
// character) or a device's name ("aux.txt", "COM1") fails, reported as operation
// "checkPathNames" with the path, ERROR_INVALID_NAME and a message naming the part at fault;
// elsewhere every name is ok. Touches nothing on disk.
[[nodiscard]] Status checkPathNames(const std::string& path);

// Total physical memory of the machine in bytes; 0 when the system does not tell.
int64_t physicalMemoryBytes();

// ---- Byte locks ----
// A lock file whose bytes serve as advisory locks between processes, one byte per lock. A lock
// belongs to the handle that took it: two handles conflict even inside one process, while one
// handle never conflicts with itself (its owner keeps track of what it holds). The system drops
// the locks of a handle that is closed and of a process that ends in any way. Nothing is ever
// written to the file. One handle may be used by one thread at a time.
struct LockFile;
struct LockFileCloser {
  void operator()(LockFile* file) const;  // closes the file, releasing its locks
};
using LockFileHandle = std::unique_ptr<LockFile, LockFileCloser>;

enum class ByteLock { Locked, Busy, Failed };

// Opens (creating when missing) the lock file at path; a link in its place is refused, as by
// the writing modes of fOpenFile. Null on failure, reported as operation "openLockFile" with the
// path and the message "openLockFile".
LockFileHandle openLockFile(const std::string& path, Status* status = nullptr);

// Tries to lock the byte at offset (below 2^62) without waiting: Locked, Busy when another
// handle holds it, Failed when the system cannot lock the file (reported as operation
// "tryLockByte" with the lock file's path and the message "tryLockByte").
ByteLock tryLockByte(LockFile* file, uint64_t offset, Status* status = nullptr);

// Releases a byte this handle locked; unlocking a byte it does not hold does nothing.
void unlockByte(LockFile* file, uint64_t offset);

// The text after the last separator; empty when there is none or the path ends with one.
std::string fileNameOf(const std::string& path);

// The text before the last separator; empty when there is none.
std::string parentDirOf(const std::string& path);

}  // namespace zephyl::fs
