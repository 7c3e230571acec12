#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "naming.h"
#include "platform.h"
#include "utf8_path.h"

namespace zget::platform {
namespace {

std::string homeDir() {
  // Read on main's thread before the downloads start; nothing sets the environment.
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void useUtf8Console() {}

bool isTerminal(int fd) { return isatty(fd) == 1; }

int terminalColumns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0) return size.ws_col;
  return 0;
}

void prepareStandardStreams() {}

std::string userCacheBase() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const std::string home = homeDir();
  if (home.empty()) return std::string();
  return joinPath(home, ".cache");
}

std::string cacheLocationText() { return "$XDG_CACHE_HOME/zephyl, else ~/.cache/zephyl"; }

std::string exampleDownloadsDir() { return "~/Downloads"; }

std::string shownPath(const std::string& path) { return path; }

std::string absolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(pathFromUtf8(path), error);
  if (error) return path;
  return utf8FromPath(absolute.lexically_normal());
}

std::string caseFolded(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

}  // namespace zget::platform
