#include "zephyl/zp_response.h"

#include "diagnostics/digest.h"
#include "records/response_content.h"

ZPResponse::ZPResponse() = default;

ZPResponse::ZPResponse(int resultCode, int errorCode, const std::string& errorMsg)
    : cause(causeOfCodes(resultCode, errorCode)),
      resultCode(resultCode),
      errorCode(errorCode),
      errorMsg(errorMsg) {}

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

namespace {

// The digest of a successful response's content (its buffer, or its file through the reader the
// library handed it); empty when the file cannot be read, when no reader was handed, or when the
// platform refuses the digest. Failures are not cached by the callers: a file that comes back
// later, or a digest the platform could not make this time, is tried again by the next call. A
// download that was checked hands its digest in instead.
std::string digestOfContent(const ZPResponse& response, zephyl::DigestAlgorithm algorithm) {
  zephyl::DigestStream stream(algorithm);
  if (response.outputData) {
    stream.update(response.outputData->data(), response.outputData->size());
    return stream.finishHex();
  }
  const zephyl::ResponseContent::FileReader& reader =
      zephyl::ResponseContent::fileReaderOf(response);
  if (!reader) return std::string();
  const bool read = reader(
      response.outputFilePath,
      [&stream](const unsigned char* data, size_t size) { return stream.update(data, size); });
  if (!read) return std::string();
  return stream.finishHex();
}

}  // namespace

std::string ZPResponse::getMd5Etag() const {
  if (resultCode != RESULT_SUCCESS || !md5Etag.empty()) return md5Etag;
  md5Etag = digestOfContent(*this, zephyl::DigestAlgorithm::Md5);
  return md5Etag;
}

std::string ZPResponse::getSha256() const {
  if (resultCode != RESULT_SUCCESS || !sha256.empty()) return sha256;
  sha256 = digestOfContent(*this, zephyl::DigestAlgorithm::Sha256);
  return sha256;
}
