// ContinuedFile: -c, a partial file that another tool (or an earlier zget -c) left at a
// download's target, continued in place. The library streams the rest from a little before the
// file's end; those first bytes are compared with the file's last ones before anything is
// appended, so that a file of another resource (or of another version of it) is found out
// rather than extended.
// Threads: open runs on main's thread before the run; write on the library's transfer threads,
// one call at a time for one download; finish in the download's completion, after the last
// write; the accessors after the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace zget {

class ContinuedFile {
 public:
  // How many of the file's last bytes are fetched again and compared.
  static constexpr int64_t kOverlapBytes = 64 * 1024;

  enum class Verdict {
    kExtended,     // the rest was appended
    kComplete,     // the file was whole already; nothing appended
    kMismatch,     // its last bytes are not the server's: left as it was
    kLonger,       // it is longer than the server's file: left as it was
    kWriteFailed,  // appending failed (writeErrno)
    kUnfinished,   // the download failed or stopped; what was appended stays
  };

  ContinuedFile(std::string path, int64_t size);
  ContinuedFile(const ContinuedFile&) = delete;
  ContinuedFile& operator=(const ContinuedFile&) = delete;

  // The first byte to stream: the overlap before the file's end.
  int64_t streamOffset() const { return size_ - static_cast<int64_t>(tail_.size()); }
  int64_t size() const { return size_; }
  const std::string& path() const { return path_; }

  // Reads the bytes to compare and opens the file for appending; false with *error in words.
  bool open(std::string* error);
  // The stream's next bytes: compared while they overlap the file, appended after it. False
  // stops the download (a mismatch or a failed write).
  bool write(const char* data, size_t size);
  // After the download (succeeded: the library handed over the whole rest): closes the file.
  Verdict finish(bool succeeded);

  int64_t appended() const { return appended_; }
  int writeErrno() const { return writeErrno_; }

 private:
  const std::string path_;
  const int64_t size_;
  std::vector<char> tail_;  // the file's last bytes, as read by open
  size_t compared_ = 0;     // how many of tail_ the stream matched so far
  bool mismatch_ = false;
  int64_t appended_ = 0;
  int writeErrno_ = 0;
  std::ofstream out_;
};

}  // namespace zget
