// The cache's start-up scan of a directory holding files of any name, kind, size and age, as
// crashes, other programs or other users may leave them. Checked: nothing outside the directory
// is touched (not the target of a link, not the files inside a subdirectory); a file is deleted
// only as part of a download (its data file, ".info", ".validator" or their ".tmp" leftovers)
// and never one whose key a writer holds; no side file outlives its data file; the entries left
// are whole and within the count, size and age limits; every hold on a key is released. Then
// removeAll deletes every download but the held ones. Names holding a backslash are left alone.
// Input: text. First line "maxSize maxCount cacheExpiredTimeMs"; then one line per directory
// entry, "KIND SIZE AGE NAME": KIND f (file of SIZE bytes), d (directory with a file inside),
// l (link to a file outside) or L (link to the directory outside, which holds the file
// "sentinel"), AGE in seconds before now (may be negative), NAME the rest of the line. Keys
// containing "held" are held by a writer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "fuzz_support.h"
#include "storage/file_lru_cache.h"

namespace zephyl::fuzz {
namespace {

constexpr size_t kMaxEntries = 64;
constexpr int64_t kMaxFileSize = int64_t{16} << 20;
constexpr char kSentinelText[] = "not the cache's";
// The scan and the check read the clock at different moments.
constexpr int64_t kClockSlackMs = 5000;

class HoldingGuard : public FileLruCache::EvictionGuard {
 public:
  bool tryHold(const std::string& key) override {
    if (isHeld(key)) return false;
    FUZZ_CHECK(inFlight_.insert(key).second, "key taken twice for removal: " + key);
    return true;
  }
  void release(const std::string& key) override {
    FUZZ_CHECK(inFlight_.erase(key) == 1, "released a key that was not taken: " + key);
  }
  static bool isHeld(const std::string& key) { return key.find("held") != std::string::npos; }
  bool idle() const { return inFlight_.empty(); }

 private:
  std::set<std::string> inFlight_;
};

enum class Kind { File, Directory, Link, DirectoryLink };

struct Planted {
  Kind kind;
  int64_t size;
};

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The key of a side file name ("K.info", "K.validator", "K.info.tmp", "K.validator.tmp"), or
// false for other names. The key is empty when it could name no download (".info", "..info",
// "k.info.info", "k.tmp.info").
bool sideKey(const std::string& name, std::string* key) {
  std::string stem = name;
  if (endsWith(stem, ".tmp")) {
    stem.resize(stem.size() - 4);
    if (!endsWith(stem, ".info") && !endsWith(stem, ".validator")) return false;
  }
  for (const char* suffix : {".info", ".validator"}) {
    if (endsWith(stem, suffix)) {
      *key = stem.substr(0, stem.size() - std::string(suffix).size());
      // "." and ".." name the directory and its parent, and a name ending like a side file
      // ("k.info", "k.tmp") may be another download's file: never a download's key.
      if (*key == "." || *key == ".." || endsWith(*key, ".info") || endsWith(*key, ".validator") ||
          endsWith(*key, ".tmp")) {
        key->clear();
      }
      return true;
    }
  }
  return false;
}

bool lstatKind(const std::string& path, struct stat* info) {
  return lstat(path.c_str(), info) == 0;
}
bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}
bool present(const std::string& path) {
  struct stat info {};
  return lstatKind(path, &info);
}
bool isDirectory(const std::string& path) {
  struct stat info {};
  return lstatKind(path, &info) && S_ISDIR(info.st_mode);
}

int64_t modifiedMs(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  return int64_t{info.st_mtim.tv_sec} * 1000 + info.st_mtim.tv_nsec / 1000000;
}

int64_t sizeOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return info.st_size;
}

bool usableName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

void plant(const std::string& path, Kind kind, int64_t size, int64_t ageSeconds,
           const std::string& sentinel) {
  switch (kind) {
    case Kind::File: {
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      FUZZ_CHECK(fd >= 0, "cannot create " + path);
      const bool sized = ftruncate(fd, size) == 0;
      close(fd);
      FUZZ_CHECK(sized, "cannot size " + path);
      break;
    }
    case Kind::Directory: {
      FUZZ_CHECK(mkdir(path.c_str(), 0700) == 0, "cannot create " + path);
      writeFile(path + "/inner", kSentinelText, sizeof kSentinelText - 1);
      break;
    }
    case Kind::Link:
      FUZZ_CHECK(symlink(sentinel.c_str(), path.c_str()) == 0, "cannot link " + path);
      return;  // its time is the target's
    case Kind::DirectoryLink: {
      const std::string outside = sentinel.substr(0, sentinel.rfind('/'));
      FUZZ_CHECK(symlink(outside.c_str(), path.c_str()) == 0, "cannot link " + path);
      return;
    }
  }
  const int64_t seconds = static_cast<int64_t>(time(nullptr)) - ageSeconds;
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  FUZZ_CHECK(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0,
             "cannot date " + path);
}

}  // namespace
}  // namespace zephyl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zephyl;
  using namespace zephyl::fuzz;
  static ScratchDir scratch;
  const std::string dir = scratch.path() + "/cache";
  const std::string outside = scratch.path() + "/outside";
  const std::string sentinel = outside + "/sentinel";
  resetDir(dir);
  resetDir(outside);
  writeFile(sentinel, kSentinelText, sizeof kSentinelText - 1);

  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  std::string line;
  int64_t maxSize = 104857600;
  int64_t maxCount = 100;
  int64_t expiredMs = -1;
  if (std::getline(input, line)) {
    std::istringstream limits(line);
    limits >> maxSize >> maxCount >> expiredMs;
  }
  maxCount = std::clamp<int64_t>(maxCount, INT32_MIN, INT32_MAX);

  std::map<std::string, Planted> planted;
  while (planted.size() < kMaxEntries && std::getline(input, line)) {
    std::istringstream fields(line);
    char kindChar = 0;
    int64_t fileSize = 0;
    int64_t ageSeconds = 0;
    if (!(fields >> kindChar >> fileSize >> ageSeconds) || fields.get() != ' ') continue;
    std::string name;
    std::getline(fields, name);
    if (!usableName(name) || planted.count(name) != 0) continue;
    Kind kind = Kind::File;
    switch (kindChar) {
      case 'f':
        kind = Kind::File;
        break;
      case 'd':
        kind = Kind::Directory;
        break;
      case 'l':
        kind = Kind::Link;
        break;
      case 'L':
        kind = Kind::DirectoryLink;
        break;
      default:
        continue;
    }
    fileSize = std::clamp<int64_t>(fileSize, 0, kMaxFileSize);
    ageSeconds = std::clamp<int64_t>(ageSeconds, -1000000, 1000000000);
    plant(dir + "/" + name, kind, fileSize, ageSeconds, sentinel);
    planted[name] = Planted{kind, fileSize};
  }

  HoldingGuard guard;
  FileLruCache cache;
  cache.setEvictionGuard(&guard);
  cache.configure(dir, maxSize, static_cast<int32_t>(maxCount), expiredMs);
  const int64_t now = nowMs();
  FUZZ_CHECK(guard.idle(), "a hold outlived the scan");
  FUZZ_CHECK(readFile(sentinel) == kSentinelText, "the file outside the cache changed");

  std::set<std::string> keys;  // every key a planted name may belong to
  for (const auto& [name, what] : planted) {
    const std::string path = dir + "/" + name;
    std::string key;
    const bool side = sideKey(name, &key);
    if (side && !key.empty()) keys.insert(key);
    if (what.kind == Kind::Directory) {
      FUZZ_CHECK(isDirectory(path) && readFile(path + "/inner") == kSentinelText,
                 "a directory or its content went: " + name);
      continue;
    }
    if (name.find('\\') != std::string::npos) {
      // The file layer reads "\\" as a separator and so leaves such names out of a listing:
      // the scan can neither own nor delete them.
      FUZZ_CHECK(present(path), "deleted a name holding a backslash: " + name);
      continue;
    }
    if (!present(path)) {
      // Only a download's files go: the data file of a key with a progress file, or a side file.
      // A name may be both ("a.info" beside "a.info.info"); "held" is never in a suffix, so a
      // name and its key are held alike.
      FUZZ_CHECK(planted.count(name + ".info") != 0 || (side && !key.empty()),
                 "deleted a file that belongs to no download: " + name);
      FUZZ_CHECK(!HoldingGuard::isHeld(name), "deleted a file of a held download: " + name);
      continue;
    }
    // No side file stays without its data file, and no interrupted replacement stays at all.
    // Not asked of a key that is a side file name itself: the scan may delete that data file as
    // an orphan of its own key.
    std::string keyOfKey;
    if (side && !key.empty() && !HoldingGuard::isHeld(key) && !sideKey(key, &keyOfKey)) {
      FUZZ_CHECK(!endsWith(name, ".tmp"), "a leftover replacement stayed: " + name);
      FUZZ_CHECK(present(dir + "/" + key), "a side file outlived its data file: " + name);
    }
  }

  size_t entries = 0;
  size_t heldEntries = 0;
  int64_t total = 0;
  bool anyUnheld = false;
  for (const std::string& key : keys) {
    FilePaths paths;
    if (!cache.get(key, &paths)) continue;
    FUZZ_CHECK(paths.fileKey == key && paths.dataPath == dir + "/" + key &&
                   paths.infoPath == paths.dataPath + ".info",
               "entry with other paths: " + key);
    // A key that is a side file name itself ("a.info" of "a.info.info") may lose its data file
    // as the orphan progress file of its own key ("a"); the library's keys never look so.
    std::string keyOfKey;
    FUZZ_CHECK((exists(paths.dataPath) && exists(paths.infoPath)) || sideKey(key, &keyOfKey),
               "entry without its files: " + key);
    ++entries;
    total += sizeOf(paths.dataPath) + sizeOf(paths.infoPath) + sizeOf(paths.validatorPath);
    if (HoldingGuard::isHeld(key)) {
      ++heldEntries;
      continue;
    }
    anyUnheld = true;
    if (expiredMs > 0) {
      FUZZ_CHECK(now - kClockSlackMs - modifiedMs(paths.dataPath) <= expiredMs,
                 "an expired entry stayed: " + key);
    }
  }
  if (maxCount >= 1) {
    FUZZ_CHECK(entries <= std::max<size_t>(static_cast<size_t>(maxCount), heldEntries),
               std::to_string(entries) + " entries stayed, limit " + std::to_string(maxCount));
  }
  if (maxSize > 0 && anyUnheld) {
    FUZZ_CHECK(total <= maxSize,
               std::to_string(total) + " bytes stayed, limit " + std::to_string(maxSize));
  }

  cache.removeAll();
  FUZZ_CHECK(guard.idle(), "a hold outlived removeAll");
  for (const std::string& key : keys) {
    FilePaths paths;
    if (cache.get(key, &paths) && !HoldingGuard::isHeld(key)) {
      FUZZ_CHECK(false, "removeAll kept an entry: " + key);
    }
  }
  FUZZ_CHECK(readFile(sentinel) == kSentinelText, "the file outside the cache changed");
  return 0;
}
