// The files of one stored download, which kind of writer keeps them, and the operations on all of
// them together. Plain values, copied freely between threads; the functions keep no state, and
// callers make sure no writer is using the files they delete.
#pragma once

#include <cstdint>
#include <string>

namespace zephyl {

// Which writer a file belongs to: single-file downloads live in the temp directory, chunked ones
// in the cache directory with a progress file.
enum class FileKind { SingleFile, Chunked };

// A stored download is its data file, a chunked download's progress file, and the validator file
// of either kind (which may not exist); they are kept, counted and deleted together.
struct FilePaths {
  std::string fileKey;
  std::string dataPath;
  std::string infoPath;  // progress file of a chunked download; empty for single-file downloads
  std::string validatorPath;  // "<dataPath>.validator"
};

// Suffixes of the side files, appended to the data file's path.
inline constexpr char kInfoSuffix[] = ".info";
inline constexpr char kValidatorSuffix[] = ".validator";

// The paths of fileKey's download of the given kind stored in directory.
FilePaths storedPathsOf(FileKind kind, const std::string& directory, const std::string& fileKey);

// Deletes the download's files; failures (a file already gone) are only logged by the
// file-system layer.
void removeStoredFiles(const FilePaths& paths);

// Bytes on disk of the download's files, measured now; a file that cannot be measured counts 0.
int64_t storedSize(const FilePaths& paths);

}  // namespace zephyl
