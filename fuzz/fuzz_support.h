// Helpers shared by the fuzz targets: a scratch directory per process, whole-file reads and
// writes, and the check that turns a broken promise into a crash libFuzzer keeps the input of.
// One thread (libFuzzer runs the targets on one).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace zephyl::fuzz {

// Stops the run with the input that broke the promise; libFuzzer saves it as a crash.
#define FUZZ_CHECK(condition, message)                                                      \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s: %s\n", __FILE__, __LINE__, #condition, \
                   std::string(message).c_str());                                           \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

// A directory of its own for the whole run, below /dev/shm when there is one (progress saves
// sync their files; on a memory file system that costs nothing) or else the temporary directory.
// Removed when the process ends normally; a crash leaves it for a look.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code error;
    std::string base = "/dev/shm";
    if (access(base.c_str(), W_OK | X_OK) != 0) {
      base = std::filesystem::temp_directory_path(error).string();
      if (error || base.empty()) base = "/tmp";
    }
    std::string pattern = base + "/zephyl-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  FUZZ_CHECK(out.good(), "cannot write " + path);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Empties dir (creating it when missing).
inline void resetDir(const std::string& dir) {
  std::error_code error;
  std::filesystem::remove_all(dir, error);
  FUZZ_CHECK(!error, "cannot empty " + dir + ": " + error.message());
  std::filesystem::create_directories(dir, error);
  FUZZ_CHECK(!error, "cannot create " + dir + ": " + error.message());
}

}  // namespace zephyl::fuzz
