// What the platform files of the file-system layer (fs_posix.cpp, fs_windows.cpp) share: the
// report of a failure and the platform-free halves of their operations. Internal to the layer.
// Thread-safe: no state.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "diagnostics/status.h"

namespace zephyl::fs {

// The failure of operation on path: a Status whose code and system code are code, with message.
// Writes one log line when detail logging is on.
Status reportError(const char* operation, std::string_view path, int code, std::string message);

// Length of the parent of path's first `length` bytes; 0 when it has none.
size_t parentLength(std::string_view path, size_t length);

// Creates every missing level of path with createOne, top down, after walking up to the nearest
// entry that exists, never above path's first rootLength bytes (a drive or a network share,
// which cannot be made). The first failure of createOne ends the walk and is returned.
Status createMissingLevels(const std::string& path, size_t rootLength,
                           const std::function<Status(const std::string&)>& createOne);


}  // namespace zephyl::fs
