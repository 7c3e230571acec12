// Files named in UTF-8 reached through their UTF-16 names, as a Windows program outside the
// library sees them, and zget run as a child process with a bound on its run. Windows only.
#pragma once

// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/process_windows.h"

namespace zephyl::test {

// The longest a test waits for one zget run before it ends it.
constexpr DWORD kZgetRunLimitMs = 60000;

// Whether path (UTF-8) names a file or directory under its UTF-16 name.
inline bool existsAsUtf16(const std::string& path) {
  return GetFileAttributesW(utf8ToUtf16(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool existsWide(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Writes bytes to path (UTF-8) through its UTF-16 name; false when it cannot.
inline bool writeFileAsUtf16(const std::string& path, const std::string& bytes) {
  std::ofstream file(std::filesystem::path(utf8ToUtf16(path)), std::ios::binary);
  return static_cast<bool>(file << bytes);
}

// The zget runners exist in the tests that are given zget's path (ZGET_BINARY).
#ifdef ZGET_BINARY
// zget with arguments, its output going to outputPath: see startProcess.
inline HANDLE startZget(const std::vector<std::string>& arguments, const std::string& outputPath,
                        DWORD creationFlags = 0, DWORD* processId = nullptr) {
  return startProcess(ZGET_BINARY, arguments, {}, outputPath, creationFlags, processId);
}

// zget's exit code, or -1 when it did not start or ran past kZgetRunLimitMs.
inline int waitForZget(HANDLE process) { return waitForProcess(process, kZgetRunLimitMs); }

inline int runZget(const std::vector<std::string>& arguments, const std::string& outputPath) {
  return waitForZget(startZget(arguments, outputPath));
}
#endif

}  // namespace zephyl::test
