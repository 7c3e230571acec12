#include "support/file_contents.h"

#include <cstdio>

#include "diagnostics/digest.h"
#include "diagnostics/utilities.h"
#include "storage/file_handle.h"
#include "storage/fs.h"

namespace zephyl::test {

std::string readText(const std::string& path) {
  FileHandle file(fs::fOpenFile(path, "rb"));
  std::string content;
  if (!file) return content;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) content.append(buffer, got);
  return content;
}

std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string text = readText(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string md5HexOf(const std::vector<uint8_t>& bytes) {
  unsigned char digest[kMd5DigestLength];
  if (!md5Of(bytes.data(), bytes.size(), digest)) return {};
  return md5Hex(digest);
}

std::string sha256HexOf(const std::vector<uint8_t>& bytes) {
  return digestHexOf(DigestAlgorithm::Sha256, bytes.data(), bytes.size());
}

}  // namespace zephyl::test
