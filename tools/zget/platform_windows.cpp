// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform.h"
#include "utf16_windows.h"

namespace zget::platform {
namespace {

HANDLE consoleOf(int fd) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle
                                                                         : INVALID_HANDLE_VALUE;
}

// The console's output code page before zget changed it; 0 when there was no console.
UINT consoleCodePageBefore = 0;

void restoreConsoleCodePage() { SetConsoleOutputCP(consoleCodePageBefore); }

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8FromUtf16(wide[i]));
  LocalFree(wide);
  return arguments;
}

void useUtf8Console() {
  // The code page belongs to the console, which outlives zget: the shell that started zget
  // gets its own back.
  consoleCodePageBefore = GetConsoleOutputCP();
  if (consoleCodePageBefore == 0 || consoleCodePageBefore == CP_UTF8) return;
  if (SetConsoleOutputCP(CP_UTF8)) std::atexit(restoreConsoleCodePage);
}

bool isTerminal(int fd) { return consoleOf(fd) != INVALID_HANDLE_VALUE; }

int terminalColumns(int fd) {
  const HANDLE console = consoleOf(fd);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void prepareStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const HANDLE console = consoleOf(_fileno(stderr));
  DWORD mode = 0;
  if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
    SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

std::string userCacheBase() {
  wchar_t* folder = nullptr;
  std::string result;
  // The folder's own UTF-16 name, not %LOCALAPPDATA% through the ANSI code page.
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
    result = utf8FromUtf16(folder);
    for (char& c : result) c = c == '\\' ? '/' : c;
  }
  CoTaskMemFree(folder);
  return result;
}

std::string cacheLocationText() { return "%LOCALAPPDATA%\\zephyl"; }

std::string exampleDownloadsDir() { return "%USERPROFILE%\\Downloads"; }

// The library and zget join paths with '/', which Windows takes as well; its users read '\\'.
std::string shownPath(const std::string& path) {
  std::string shown = path;
  for (char& c : shown) {
    if (c == '/') c = '\\';
  }
  return shown;
}

// Not std::filesystem::absolute: it folds the leading "\\" of a share into one separator, which
// makes "\\server\share\dl" the folder "\server\share\dl" of the current drive.
std::string absolutePath(const std::string& path) {
  std::wstring wide = utf16FromUtf8(path);
  if (wide.empty()) return path;
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return path;
  full.resize(written);
  std::string result = utf8FromUtf16(full);
  // In a "\\?\" path "/" is a character of a name, not a separator.
  if (result.rfind("\\\\?\\", 0) != 0) std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

std::string caseFolded(const std::string& text) {
  std::wstring wide = utf16FromUtf8(text);
  if (wide.empty() || wide.size() > INT_MAX) return text;
  CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  return utf8FromUtf16(wide);
}

}  // namespace zget::platform
