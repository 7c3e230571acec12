#include "storage/atomic_file.h"

#include <cerrno>
#include <cstdio>

#include "storage/file_handle.h"
#include "storage/fs.h"

namespace zephyl {

bool replaceFileAtomically(const std::string& path, const void* data, size_t size,
                           int* errorCode, std::string* errorMsg) {
  const std::string temporary = path + kTemporarySuffix;
  FileHandle file(fs::fOpenFile(temporary, "wb", errorCode, errorMsg));
  if (!file) return false;
  // Data first, on stable storage, then the rename that makes it the file: the rename can reach
  // the disk before unsynced data does, which would leave an empty or short file after a crash.
  bool written = (size == 0 || fs::writeFileAt(file.get(), 0, data, size, errorCode, errorMsg)) &&
                 fs::syncFile(file.get(), errorCode, errorMsg);
  if (std::fclose(file.release()) != 0 && written) {
    // Nothing is buffered after the sync; a failing close still means the file cannot be trusted.
    written = false;
    if (errorCode != nullptr) *errorCode = errno;
    if (errorMsg != nullptr) *errorMsg = "fclose";
  }
  if (written && fs::moveFile(temporary, path, true, errorCode, errorMsg)) return true;
  fs::removeFile(temporary);
  return false;
}

}  // namespace zephyl
