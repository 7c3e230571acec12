// Positioned writes and checked closing of the data streams of the file writers. The streams are
// unbuffered, so a write that returns true is in the operating system's hands and a full disk or
// a size limit is reported by the write that meets it, not later by a flush. One thread per
// stream at a time (the writers serialise their calls).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "diagnostics/status.h"
#include "storage/file_handle.h"

namespace zephyl {

// Switches the stream to unbuffered writes. Call right after opening, before any I/O.
void makeUnbuffered(FILE* file);

// Writes size bytes at the absolute offset. Fails with fs::writeFileAt's report; bytes written
// before a short write are not counted by the caller.
[[nodiscard]] Status writeAt(FILE* file, int64_t offset, const unsigned char* data, int size);

// Reads exactly size bytes at the absolute offset into buffer (a seek, then a read: call it only
// while no positioned write runs on the stream). False when the seek fails or the file is shorter.
[[nodiscard]] bool readAt(FILE* file, int64_t offset, void* buffer, size_t size);

// Puts the data of the closed file at path on stable storage (fs::syncFile through a stream of
// its own). False when it cannot be opened or synced.
[[nodiscard]] bool syncFileAt(const std::string& path);

// Flushes and closes the stream (file is empty afterwards). Fails with errno and its text when
// data may not have reached the file.
[[nodiscard]] Status flushAndClose(FileHandle& file);

}  // namespace zephyl
