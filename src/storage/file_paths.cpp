#include "storage/file_paths.h"

#include "storage/fs.h"

namespace zephyl {
namespace {


int64_t lengthIfPresent(const std::string& path) {
  return !path.empty() && fs::exists(path) ? fs::statFileLength(path) : 0;
}

}  // namespace

FilePaths storedPathsOf(FileKind kind, const std::string& directory, const std::string& fileKey) {
  FilePaths paths;
  paths.fileKey = fileKey;
  paths.dataPath = directory + "/" + fileKey;
  if (kind == FileKind::Chunked) paths.infoPath = paths.dataPath + kInfoSuffix;
  paths.validatorPath = paths.dataPath + kValidatorSuffix;
  return paths;
}

void removeStoredFiles(const FilePaths& paths) {
  // The data file first: a side file without its data is recognised as an orphan and cleaned up
  // later, while data left without its progress file would only be ignored.
  fs::removeFile(paths.dataPath);
  if (!paths.infoPath.empty()) fs::removeFile(paths.infoPath);
  // Most downloads have none: a missing validator is no failure worth a line.
  if (!paths.validatorPath.empty() && fs::exists(paths.validatorPath)) {
    fs::removeFile(paths.validatorPath);
  }
}

int64_t storedSize(const FilePaths& paths) {
  int64_t size = fs::statFileLength(paths.dataPath);
  if (!paths.infoPath.empty()) size += fs::statFileLength(paths.infoPath);
  return size + lengthIfPresent(paths.validatorPath);
}

}  // namespace zephyl
