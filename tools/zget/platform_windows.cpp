// <windows.h> first: the other system headers build on it.
// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format on

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <string>

#include "platform.h"

namespace zget::platform {
namespace {

HANDLE consoleOf(int fd) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle
                                                                         : INVALID_HANDLE_VALUE;
}

}  // namespace

int terminalColumns(int fd) {
  const HANDLE console = consoleOf(fd);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int openDiscard() { return _open("NUL", _O_WRONLY | _O_BINARY | _O_NOINHERIT); }

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
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, folder, -1, nullptr, 0, nullptr, nullptr);
    if (bytes > 1) {
      result.resize(static_cast<size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, folder, -1, result.data(), bytes, nullptr, nullptr);
      result.resize(static_cast<size_t>(bytes) - 1);
      for (char& c : result) c = c == '\\' ? '/' : c;
    }
  }
  CoTaskMemFree(folder);
  return result;
}

}  // namespace zget::platform
