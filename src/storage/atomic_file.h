// Whole-file replacement that a kill, a power loss or a full disk cannot leave half done: the
// new content goes to "<path>.tmp", reaches stable storage, and is then renamed over path in one
// step, so path always holds either the previous content or the new one. A leftover "<path>.tmp"
// is never read as the file. Room for the next replacement can be kept on the disk beforehand
// (reserveReplacement), so that a disk that fills meanwhile cannot stop it.
// Free functions, no state; callers serialise the writers of one path.
#pragma once

#include <cstddef>
#include <string>

#include "diagnostics/status.h"

namespace zephyl {

// Appended to a path to name its temporary file while it is replaced.
inline constexpr char kTemporarySuffix[] = ".tmp";

// Replaces (or creates) the file at path with size bytes of data. A "<path>.tmp" left by
// reserveReplacement is written over in place, in the blocks it holds, so that up to its
// capacity the replacement needs no new room on the disk; it is used up by the replacement. On
// failure path keeps what it held before (or stays absent), the temporary file is removed, and
// the result is the file-system layer's report of the step that failed.
[[nodiscard]] Status replaceFileAtomically(const std::string& path, const void* data, size_t size);

// Keeps room for the next replacement of path: "<path>.tmp" holds capacity bytes (zeros, never
// synced; what a crash leaves of it is removed like any leftover). Ok when the room is held;
// the layer's report when the disk lacks it, and no temporary file then stays.
[[nodiscard]] Status reserveReplacement(const std::string& path, size_t capacity);

// Gives back the room reserveReplacement kept for path, if any.
void dropReservedReplacement(const std::string& path);

}  // namespace zephyl
