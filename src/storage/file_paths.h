// The files of one stored download.
#pragma once

#include <string>

namespace zephyl {

struct FilePaths {
  std::string fileKey;
  std::string dataPath;
  std::string infoPath;  // progress file of a chunked download; empty for single-file downloads
};

}  // namespace zephyl
