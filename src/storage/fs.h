// The file-system layer: every file and directory access of the library goes through these free
// functions, so that each platform has exactly one implementation of them (fs_posix.cpp here).
// Paths are UTF-8; "\" and "/" both separate, the last of either kind counts; built paths join
// with "/". A failing operation stores its code (the platform's error number) and message into
// the optional out-parameters, leaves them untouched on success, and writes one log line when
// detail logging is on. Thread-safe: no state, no locks; callers serialise work on one file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zephyl::fs {

// The path names an entry: a file, a directory, or a link (even a dangling one, which still
// occupies the name). Never reports.
bool exists(const std::string& path);

// Creates the directory and every missing parent. True when a directory exists there afterwards
// (a file of that name is a failure); an empty path counts as created. On failure the out-
// parameters hold the report of the level that could not be created.
[[nodiscard]] bool createDirectories(const std::string& path, int* errorCode = nullptr,
                                     std::string* errorMsg = nullptr);

// Creates one directory; an existing directory counts as success, any other existing entry of
// that name fails with its "already exists" code.
[[nodiscard]] bool createOneDirectory(const std::string& path, int* errorCode = nullptr,
                                      std::string* errorMsg = nullptr);

// Opens a C stream with an fopen mode ("rb", "rb+", "wb+"...). Null on failure; a path longer
// than the layer's path limit (1023 UTF-16 units) or a mode longer than 63 gives null silently.
// Every failed open prints "fopenFile <path>, <mode>, ret = <errno>" to stdout. A directory is
// never opened as a stream. The caller owns the stream and closes it with fclose.
[[nodiscard]] FILE* fOpenFile(const std::string& path, const std::string& mode,
                              int* errorCode = nullptr, std::string* errorMsg = nullptr);

// Moves the stream's position; offset is 64-bit. A null stream fails with the invalid-argument
// code.
[[nodiscard]] bool seekFile(FILE* file, int64_t offset, int origin, int* errorCode = nullptr,
                            std::string* errorMsg = nullptr);

// Writes size bytes at the absolute offset of an unbuffered stream, in as many system writes as
// it takes, without moving the stream's position; concurrent calls at different offsets are
// safe. On failure the code is the system's error number and the message its text.
[[nodiscard]] bool writeFileAt(FILE* file, int64_t offset, const void* data, size_t size,
                               int* errorCode = nullptr, std::string* errorMsg = nullptr);

// Deletes a file (not a directory).
bool removeFile(const std::string& path, int* errorCode = nullptr, std::string* errorMsg = nullptr);

// Deletes everything inside a directory, recursively, and the directory itself when removeSelf.
// False when the path is not a directory or cannot be listed; failures inside are logged and
// skipped, and leave the out-parameters alone. Links inside are removed, never followed.
bool removeDirectory(const std::string& path, bool removeSelf, int* errorCode = nullptr,
                     std::string* errorMsg = nullptr);

// Appends "<directory>/<name>" for every entry but "." and "..", files and directories alike,
// in the system's order. out is not cleared. False (code -1, out unchanged) when the directory
// cannot be read to its end.
[[nodiscard]] bool listFiles(const std::string& directory, std::vector<std::string>* out,
                             int* errorCode = nullptr, std::string* errorMsg = nullptr);

// Size in bytes of a file (0 for a directory); 0 (reported) when it cannot be read.
int64_t statFileLength(const std::string& path, int* errorCode = nullptr,
                       std::string* errorMsg = nullptr);

// Modification time in whole seconds times 1000; 0 when it cannot be read. Never reports.
int64_t fileModifiedTimeMs(const std::string& path);

// Renames source to target; never replaces an existing target (that fails with the platform's
// "already exists" code and leaves both in place).
[[nodiscard]] bool moveFile(const std::string& source, const std::string& target,
                            int* errorCode = nullptr, std::string* errorMsg = nullptr);

// The text after the last separator; empty when there is none or the path ends with one.
std::string fileNameOf(const std::string& path);

// The text before the last separator; empty when there is none.
std::string parentDirOf(const std::string& path);

}  // namespace zephyl::fs
