#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "storage/fs.h"

namespace zephyl::test {
namespace {

// Different in every call and every process: a random seed drawn once, then a counter.
std::string uniqueSuffix() {
  static const uint64_t seed = [] {
    std::random_device device;
    return (uint64_t{device()} << 32) ^ device() ^
           static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  static std::atomic<uint64_t> counter{0};
  std::mt19937_64 mix(seed + counter.fetch_add(1));
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix(10, '0');
  for (char& c : suffix) c = kDigits[mix() % 36];
  return suffix;
}

}  // namespace

char* makeTemporaryDirectory(char* pattern) {
  namespace fs = std::filesystem;
  const size_t length = std::char_traits<char>::length(pattern);
  constexpr size_t kPlaceholder = 6;
  if (length < kPlaceholder || std::string(pattern + length - kPlaceholder) != "XXXXXX") {
    return nullptr;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string suffix = uniqueSuffix();
    std::copy(suffix.begin(), suffix.begin() + kPlaceholder, pattern + length - kPlaceholder);
    std::error_code error;
    const fs::path candidate = fs::u8path(pattern);
    if (fs::create_directory(candidate, error) && !error) {
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, error);
      return pattern;
    }
    if (error && error != std::errc::file_exists) return nullptr;
  }
  return nullptr;
}

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) base = fs::current_path(error);
  // create_directory is false for a name that exists: then another name is tried, a bounded
  // number of times.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("zephyl_test_" + uniqueSuffix());
    if (fs::create_directory(candidate, error) && !error) {
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, error);
      // UTF-8, as the library takes paths (string() would be the ANSI code page on Windows),
      // with "/" as the library joins paths.
      path_ = candidate.generic_u8string();
      return;
    }
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // The library's own removal, not std::filesystem::remove_all: with MinGW's run-time library
  // that never returns when an entry cannot be removed (a lock file a storage manager keeps
  // open on Windows). What cannot be removed stays behind.
  (void)zephyl::fs::removeDirectory(path_, true);
}

}  // namespace zephyl::test
