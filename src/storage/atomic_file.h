// Whole-file replacement that a kill, a power loss or a full disk cannot leave half done: the
// new content goes to "<path>.tmp", reaches stable storage, and is then renamed over path in one
// step, so path always holds either the previous content or the new one. A leftover "<path>.tmp"
// is never read as the file. Free functions, no state; callers serialise the writers of one path.
#pragma once

#include <cstddef>
#include <string>

namespace zephyl {

// Appended to a path to name its temporary file while it is replaced.
inline constexpr char kTemporarySuffix[] = ".tmp";

// Replaces (or creates) the file at path with size bytes of data. On failure path keeps what it
// held before (or stays absent), the temporary file is removed, and errorCode/errorMsg (either
// may be null) hold the file-system layer's report of the step that failed.
[[nodiscard]] bool replaceFileAtomically(const std::string& path, const void* data, size_t size,
                                         int* errorCode = nullptr,
                                         std::string* errorMsg = nullptr);

}  // namespace zephyl
