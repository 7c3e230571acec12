// The few calls of zget that differ between POSIX systems and Windows (platform_posix.cpp,
// platform_windows.cpp). Called from main's thread before the downloads start, except
// terminalColumns, which any thread may call. Text in and out is UTF-8.
#pragma once

#include <string>
#include <vector>

namespace zget::platform {

// The command line, the program's name first, as UTF-8: argv itself on POSIX systems; on
// Windows the UTF-16 command line, since argv holds it in the ANSI code page there, which loses
// every character the code page lacks.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Has a console show the UTF-8 that zget writes (on Windows its output code page becomes UTF-8
// until zget exits); output to files and pipes is UTF-8 on every platform anyway.
void useUtf8Console();

// Whether fd is a terminal (a console on Windows; the NUL device, which the C run-time calls a
// character device, is none).
bool isTerminal(int fd);

// Columns of the terminal at fd; 0 when fd is no terminal or its width is unknown.
int terminalColumns(int fd);

// Readies the standard descriptors: data written to standard output passes byte for byte (no
// line-end translation), and a terminal on standard error understands the cursor movements of
// the progress display.
void prepareStandardStreams();

// The user's base directory for cached data: $XDG_CACHE_HOME, else ~/.cache here; the local
// application data directory on Windows. Empty when it cannot be found.
std::string userCacheBase();

// Where unfinished downloads are kept, as the help says it to this platform's users
// ("$XDG_CACHE_HOME/zephyl, else ~/.cache/zephyl"; "%LOCALAPPDATA%\zephyl").
std::string cacheLocationText();

// The user's download directory as the help's examples write it ("~/Downloads").
std::string exampleDownloadsDir();

// path as this platform's users write paths: unchanged here, with backslashes on Windows.
std::string shownPath(const std::string& path);

// The path made absolute against the current directory and lexically normalised, with "/"
// between components. On Windows the system's own rules (GetFullPathNameW): a network share
// ("\\server\share", "//server/share") stays a share and a "\\?\" path stays as written
// (with "\" throughout, which is all the system reads there). "" stays "".
std::string absolutePath(const std::string& path);

// text with its letters in one case, for comparing names as a file system that ignores case
// does: ASCII letters here, every letter the system's case mapping knows on Windows.
std::string caseFolded(const std::string& text);

}  // namespace zget::platform
