#include "sinks/stream_write.h"

#include <cerrno>
#include <system_error>

#include "storage/fs.h"

namespace zephyl {
namespace {

Status errnoFailure(int code) {
  // A failing stream call that leaves errno at 0 is still an I/O failure.
  if (code == 0) code = EIO;
  // The C library's text for the code (strerror's), without strerror's shared buffer.
  return Status::systemError(code, std::generic_category().message(code));
}

}  // namespace

void makeUnbuffered(FILE* file) { std::setvbuf(file, nullptr, _IONBF, 0); }

Status writeAt(FILE* file, int64_t offset, const unsigned char* data, int size) {
  // One positioned system write: no seek, and writers of other chunks need not wait for it.
  return fs::writeFileAt(file, offset, data, static_cast<size_t>(size));
}

bool readAt(FILE* file, int64_t offset, void* buffer, size_t size) {
  if (file == nullptr || !fs::seekFile(file, offset, SEEK_SET).isOk()) return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const size_t read = std::fread(bytes + done, 1, size - done, file);
    if (read == 0) return false;
    done += read;
  }
  return true;
}

bool syncFileAt(const std::string& path) {
  // Opened for writing: Windows flushes a file's buffers only through a handle that may write.
  FileHandle file(fs::fOpenFile(path, "rb+"));
  if (!file || !fs::syncFile(file.get()).isOk()) return false;
  return std::fclose(file.release()) == 0;
}

Status flushAndClose(FileHandle& file) {
  if (!file) return Status::ok();
  errno = 0;
  const bool flushed = std::fflush(file.get()) == 0;
  int code = errno;
  const bool closed = std::fclose(file.release()) == 0;
  if (flushed && !closed) code = errno;
  if (flushed && closed) return Status::ok();
  return errnoFailure(code);
}

}  // namespace zephyl
