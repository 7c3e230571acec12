// The public file-name helpers, over the storage layer's path text and name check.
#include "zephyl/zp_file_names.h"

#include "storage/fs.h"
#include "storage/path_text.h"

std::string zpSafeFileName(const std::string& name, const std::string& fallback) {
  std::string mended = zephyl::mendFileName(name);
  if (mended.empty()) mended = zephyl::mendFileName(fallback);
  return mended.empty() ? "download" : mended;
}

std::string zpPathNameFault(const std::string& path) {
  const zephyl::Status named = zephyl::fs::checkPathNames(path);
  return named.isOk() ? std::string() : named.message();
}

size_t zpPathRootLength(const std::string& path) { return zephyl::pathRootLength(path); }
