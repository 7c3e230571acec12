// What the Windows file-system layer offers beyond fs.h, for its own tests: the read-only open
// that tolerates other openers, which fOpenFile falls back to when sharing rules keep a reader
// out. Windows only; thread-safe like the rest of the layer.
#pragma once

#include <cstdio>
#include <string>

#include "diagnostics/status.h"

namespace zephyl::fs {

// A binary read-only stream on the file at widePath (UTF-16, the system's form) that other
// handles may hold open for reading and writing. Prints "tryOpenFileByShareMode ret, handle =
// <handle>" and, on success, "tryOpenFileByShareMode success" to stdout. Null on failure,
// reported into status: code -1 with "CreateFileW shareMode failed" or "_open_osfhandle failed", or
// operation "_fdopen" with errno and its text. The caller owns the stream.
FILE* tryOpenFileByShareMode(const std::wstring& widePath, Status* status = nullptr);

}  // namespace zephyl::fs
