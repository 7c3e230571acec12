#include "storage_root.h"

#include <filesystem>
#include <system_error>

#include "utf8_path.h"

namespace zget {
namespace {

namespace stdfs = std::filesystem;

// zget's file keys are the MD5 of the URL in lowercase hexadecimal; side files add suffixes.
constexpr size_t kFileKeyLength = 32;

bool startsWithFileKey(const std::string& name) {
  if (name.size() < kFileKeyLength) return false;
  for (size_t i = 0; i < kFileKeyLength; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Earlier versions of zget kept their own lock file in this directory of the root.
constexpr char kOldLockDirectory[] = "zget-locks";

// The kind an entry of the root must have, by its name; none for names the library never makes.
bool expectedKind(const std::string& name, stdfs::file_type* kind) {
  if (name == "temp" || name == "lruCache" || name == kOldLockDirectory) {
    *kind = stdfs::file_type::directory;
    return true;
  }
  if (name == "downloads.lock") {
    *kind = stdfs::file_type::regular;
    return true;
  }
  return false;
}

// Whether an entry named name belongs in the root's directory named directory.
bool isOwnInnerEntry(const std::string& directory, const std::string& name) {
  if (directory == kOldLockDirectory) return name == "downloads.lock";
  return startsWithFileKey(name);
}

bool refuse(const std::string& root, const stdfs::path& entry, std::string* error) {
  *error = "cannot keep unfinished downloads in " + root + ": it holds " + utf8FromPath(entry) +
           ", which zget did not make; give --cache-dir a directory of its own";
  return false;
}

}  // namespace

bool isOwnStorageRoot(const std::string& root, std::string* error) {
  std::error_code failure;
  const stdfs::path rootPath = pathFromUtf8(root);
  if (!stdfs::exists(stdfs::symlink_status(rootPath, failure))) return true;
  stdfs::directory_iterator entries(rootPath, failure);
  for (; !failure && entries != stdfs::directory_iterator(); entries.increment(failure)) {
    const stdfs::path& path = entries->path();
    stdfs::file_type kind = stdfs::file_type::none;
    // The kind of the entry itself: a link where a directory belongs leads somewhere else.
    const std::string name = utf8FromPath(path.filename());
    if (!expectedKind(name, &kind) || stdfs::symlink_status(path, failure).type() != kind) {
      return refuse(root, path, error);
    }
    if (kind != stdfs::file_type::directory) continue;
    stdfs::directory_iterator inner(path, failure);
    for (; !failure && inner != stdfs::directory_iterator(); inner.increment(failure)) {
      if (!isOwnInnerEntry(name, utf8FromPath(inner->path().filename()))) {
        return refuse(root, inner->path(), error);
      }
    }
  }
  if (failure) {
    *error = "cannot read the storage directory " + root + ": " + failure.message();
    return false;
  }
  return true;
}

}  // namespace zget
