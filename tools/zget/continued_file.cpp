#include "continued_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "utf8_path.h"

namespace zget {

ContinuedFile::ContinuedFile(std::string path, int64_t size)
    : path_(std::move(path)), size_(size) {}

bool ContinuedFile::open(std::string* error) {
  const int64_t overlap = std::min(size_, kOverlapBytes);
  tail_.resize(static_cast<size_t>(overlap));
  std::ifstream in(pathFromUtf8(path_), std::ios::binary);
  if (in) in.seekg(size_ - overlap);
  if (!in || !in.read(tail_.data(), overlap)) {
    *error = "cannot read " + path_ + " to continue it";
    return false;
  }
  errno = 0;
  out_.open(pathFromUtf8(path_), std::ios::binary | std::ios::app);
  if (!out_) {
    *error = "cannot write to " + path_ + ": " +
             std::generic_category().message(errno != 0 ? errno : EACCES);
    return false;
  }
  return true;
}

bool ContinuedFile::write(const char* data, size_t size) {
  if (compared_ < tail_.size()) {
    const size_t count = std::min(size, tail_.size() - compared_);
    if (std::memcmp(data, tail_.data() + compared_, count) != 0) {
      mismatch_ = true;
      return false;
    }
    compared_ += count;
    data += count;
    size -= count;
  }
  if (size == 0) return true;
  errno = 0;
  if (!out_.write(data, static_cast<std::streamsize>(size))) {
    writeErrno_ = errno != 0 ? errno : EIO;
    return false;
  }
  appended_ += static_cast<int64_t>(size);
  return true;
}

ContinuedFile::Verdict ContinuedFile::finish(bool succeeded) {
  errno = 0;
  out_.close();
  if (out_.fail() && writeErrno_ == 0 && appended_ > 0) writeErrno_ = errno != 0 ? errno : EIO;
  if (mismatch_) return Verdict::kMismatch;
  if (writeErrno_ != 0) return Verdict::kWriteFailed;
  if (!succeeded) return Verdict::kUnfinished;
  // The server's file ended inside the bytes compared: the file here goes on past its end.
  if (compared_ < tail_.size()) return Verdict::kLonger;
  return appended_ > 0 ? Verdict::kExtended : Verdict::kComplete;
}

}  // namespace zget
