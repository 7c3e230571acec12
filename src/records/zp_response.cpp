#include "zephyl/zp_response.h"

#include <cstdio>

#include "diagnostics/utilities.h"
#include "storage/file_handle.h"
#include "storage/fs.h"

ZPResponse::ZPResponse() = default;

ZPResponse::ZPResponse(int resultCode, int errorCode, const std::string& errorMsg)
    : resultCode(resultCode), errorCode(errorCode), errorMsg(errorMsg) {}

ZPResponse::ZPResponse(const ZPResponse&) = default;
ZPResponse::ZPResponse(ZPResponse&&) noexcept = default;
ZPResponse& ZPResponse::operator=(const ZPResponse&) = default;
ZPResponse& ZPResponse::operator=(ZPResponse&&) noexcept = default;
ZPResponse::~ZPResponse() = default;

std::string ZPResponse::logString() const {
  std::string line = "result = " + std::to_string(resultCode);
  if (resultCode != 0) {
    return line + " errorCode = " + std::to_string(errorCode) + " errorMsg = " + errorMsg;
  }
  if (outputData) {
    return line + " outputData = " + std::to_string(reinterpret_cast<uintptr_t>(outputData.get()));
  }
  return line + " outputFilePath = " + outputFilePath;
}

std::string ZPResponse::getMd5Etag() const {
  if (resultCode != RESULT_SUCCESS || !md5Etag.empty()) return md5Etag;
  unsigned char digest[zephyl::kMd5DigestLength];
  // Failures are not cached: a file that comes back later, or a digest libcrypto could not make
  // this time, is tried again by the next call.
  if (outputData) {
    if (!zephyl::md5Of(outputData->data(), outputData->size(), digest)) return std::string();
  } else {
    zephyl::FileHandle file(zephyl::fs::fOpenFile(outputFilePath, "rb"));
    if (!file) return std::string();
    zephyl::Md5Stream stream;
    unsigned char block[64 * 1024];
    size_t read = 0;
    while ((read = std::fread(block, 1, sizeof block, file.get())) > 0) {
      if (!stream.update(block, read)) return std::string();
    }
    if (std::ferror(file.get()) || !stream.finish(digest)) return std::string();
  }
  md5Etag = zephyl::md5Hex(digest);
  return md5Etag;
}
