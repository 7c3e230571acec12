#include "storage/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "storage/file_handle.h"
#include "storage/fs.h"

namespace zephyl {

namespace {

// Closes a stream that was written; a close that fails (a write-back the system reports late)
// turns an ok status into the failure, since the file cannot be trusted then.
Status closeWritten(FileHandle* file, Status status) {
  if (std::fclose(file->release()) != 0 && status.isOk()) {
    return Status::systemError(errno, "fclose");
  }
  return status;
}

}  // namespace

Status replaceFileAtomically(const std::string& path, const void* data, size_t size) {
  const std::string temporary = path + kTemporarySuffix;
  // A reserved file is opened without truncating it: truncation would give its blocks back to a
  // disk that may have none left. Its old length goes once the new content is in.
  const bool reserved = fs::isRegularFile(temporary);
  Status status;
  FileHandle file(fs::fOpenFile(temporary, reserved ? "rb+" : "wb", &status));
  if (!file) return status;
  // Data first, on stable storage, then the rename that makes it the file: the rename can reach
  // the disk before unsynced data does, which would leave an empty or short file after a crash.
  if (size > 0) status = fs::writeFileAt(file.get(), 0, data, size);
  if (status.isOk() && reserved) status = fs::truncateFile(file.get(), static_cast<int64_t>(size));
  if (status.isOk()) status = fs::syncFile(file.get());
  // Nothing is buffered after the sync; a failing close still means the file cannot be trusted.
  status = closeWritten(&file, std::move(status));
  if (status.isOk()) status = fs::moveFile(temporary, path, true);
  if (!status.isOk()) fs::removeFile(temporary);
  return status;
}

Status reserveReplacement(const std::string& path, size_t capacity) {
  const std::string temporary = path + kTemporarySuffix;
  // Written, not only allocated: allocated room past the end of a closed file is not kept by
  // every file system (NTFS gives it back at close), written bytes are.
  Status status;
  FileHandle file(fs::fOpenFile(temporary, "wb", &status));
  if (!file) return status;
  const std::vector<unsigned char> zeros(capacity, 0);
  if (capacity > 0) status = fs::writeFileAt(file.get(), 0, zeros.data(), zeros.size());
  status = closeWritten(&file, std::move(status));
  if (!status.isOk()) fs::removeFile(temporary);
  return status;
}

void dropReservedReplacement(const std::string& path) {
  const std::string temporary = path + kTemporarySuffix;
  if (fs::exists(temporary)) fs::removeFile(temporary);
}

}  // namespace zephyl
