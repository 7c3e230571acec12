#include "storage/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "storage/file_handle.h"
#include "storage/fs.h"

namespace zephyl {

bool replaceFileAtomically(const std::string& path, const void* data, size_t size, int* errorCode,
                           std::string* errorMsg) {
  const std::string temporary = path + kTemporarySuffix;
  // A reserved file is opened without truncating it: truncation would give its blocks back to a
  // disk that may have none left. Its old length goes once the new content is in.
  const bool reserved = fs::isRegularFile(temporary);
  FileHandle file(fs::fOpenFile(temporary, reserved ? "rb+" : "wb", errorCode, errorMsg));
  if (!file) return false;
  // Data first, on stable storage, then the rename that makes it the file: the rename can reach
  // the disk before unsynced data does, which would leave an empty or short file after a crash.
  bool written = (size == 0 || fs::writeFileAt(file.get(), 0, data, size, errorCode, errorMsg)) &&
                 (!reserved ||
                  fs::truncateFile(file.get(), static_cast<int64_t>(size), errorCode, errorMsg)) &&
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

bool reserveReplacement(const std::string& path, size_t capacity, int* errorCode,
                        std::string* errorMsg) {
  const std::string temporary = path + kTemporarySuffix;
  // Written, not only allocated: allocated room past the end of a closed file is not kept by
  // every file system (NTFS gives it back at close), written bytes are.
  FileHandle file(fs::fOpenFile(temporary, "wb", errorCode, errorMsg));
  if (!file) return false;
  const std::vector<unsigned char> zeros(capacity, 0);
  bool held = capacity == 0 ||
              fs::writeFileAt(file.get(), 0, zeros.data(), zeros.size(), errorCode, errorMsg);
  if (std::fclose(file.release()) != 0 && held) {
    held = false;
    if (errorCode != nullptr) *errorCode = errno;
    if (errorMsg != nullptr) *errorMsg = "fclose";
  }
  if (!held) fs::removeFile(temporary);
  return held;
}

void dropReservedReplacement(const std::string& path) {
  const std::string temporary = path + kTemporarySuffix;
  if (fs::exists(temporary)) fs::removeFile(temporary);
}

}  // namespace zephyl
