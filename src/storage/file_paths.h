// The files of one stored download, and which kind of writer keeps them. Plain values, copied
// freely between threads.
#pragma once

#include <string>

namespace zephyl {

// Which writer a file belongs to: single-file downloads live in the temp directory, chunked ones
// in the cache directory with a progress file.
enum class FileKind { SingleFile, Chunked };

struct FilePaths {
  std::string fileKey;
  std::string dataPath;
  std::string infoPath;  // progress file of a chunked download; empty for single-file downloads
};

}  // namespace zephyl
