// ZPResponse: the outcome of one download request, with the library's result and error codes.
// A plain value; copies share only the delivered memory buffer. One object must not be used from
// two threads while getMd5Etag or getSha256 fills its cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zephyl/export.h"

namespace zephyl {
struct ResponseContent;
}  // namespace zephyl

// The length of the delivered content. It reads both as a data member (`response.fileLength`,
// assignable, converts to int64_t) and as an accessor (`response.fileLength()`).
struct ZPFileLength {
  int64_t value = 0;

  ZPFileLength() = default;
  ZPFileLength(int64_t length) : value(length) {}  // NOLINT: implicit by design
  ZPFileLength& operator=(int64_t length) {
    value = length;
    return *this;
  }
  operator int64_t() const { return value; }  // NOLINT: implicit by design
  int64_t operator()() const { return value; }
};

class ZEPHYL_EXPORT ZPResponse {
 public:
  // Result codes.
  static constexpr int RESULT_SUCCESS = 0;
  static constexpr int RESULT_FAILED = -1;
  static constexpr int RESULT_CANCELLED = -2;
  // Error codes.
  static constexpr int EXECUTE_ERROR = -9990;             // a writer cannot take a chunk's bytes
  static constexpr int BLOCK_HTTP_SERVER_ERROR = -9991;   // a chunk failed with a bad HTTP status
  static constexpr int BLOCK_HTTP_NETWORK_ERROR = -9992;  // a chunk failed without a usable status
  static constexpr int DATA_WRITE_ERROR = -9993;          // a writer refused a chunk's bytes
  static constexpr int CANCELLED_ERROR = -9994;           // for applications; never set here
  static constexpr int ILLEGAL_URL = -9995;               // the request's url is empty
  static constexpr int CACHE_ERROR = -9996;               // storage cannot be prepared or placed
  static constexpr int ILLEGAL_HEADER = -9989;  // a header or credential the library refuses
  static constexpr int ILLEGAL_PROXY = -9985;   // the setting's proxy URL or bypass list is unusable
  static constexpr int CHECKSUM_MISMATCH = -9988;  // the content has another digest than asked
  static constexpr int ILLEGAL_CHECKSUM = -9987;   // ZPRequest::checksum is not a digest's form
  // OUTPUT_STREAM: no onData, or the resource changed after bytes were handed to it.
  static constexpr int STREAM_ERROR = -9986;
  // OUTPUT_STREAM: onData returned false (the result is RESULT_CANCELLED, not a failure).
  static constexpr int STREAM_STOPPED = -9984;

  // Causes: which side a failure came from and what happened, one of this closed list, each with
  // a fixed text (causeText). A response carries one beside its codes (member cause); system
  // numbers (errno, Windows error numbers) never stand in for one: they stay in extraErrorCode.
  static constexpr int CAUSE_NONE = 0;         // a success
  static constexpr int CAUSE_CANCELLED = 1;    // the host cancelled the request
  static constexpr int CAUSE_STOPPED = 2;      // a stream's receiver stopped it (onData false)
  static constexpr int CAUSE_INTERNAL = 3;     // the library could not run it (memory, threads)
  // The network.
  static constexpr int CAUSE_NETWORK = 10;             // the connection broke or failed
  static constexpr int CAUSE_HOST_NOT_FOUND = 11;      // the host name does not exist
  static constexpr int CAUSE_CONNECTION_REFUSED = 12;  // the server cannot be reached
  static constexpr int CAUSE_TIMED_OUT = 13;           // no answer (or no byte) in time
  static constexpr int CAUSE_CERTIFICATE_UNTRUSTED = 14;
  static constexpr int CAUSE_TLS_FAILED = 15;          // the secure connection failed
  static constexpr int CAUSE_PROXY_UNREACHABLE = 16;   // the proxy cannot be found or reached
  static constexpr int CAUSE_PROXY_REFUSED = 17;       // the proxy refused the request
  // The server: what it did (httpCode and headers tell its answer).
  static constexpr int CAUSE_SERVER_STATUS = 20;           // an error status
  static constexpr int CAUSE_SERVER_CLOSED_EARLY = 21;     // closed before the end of the body
  static constexpr int CAUSE_SERVER_IGNORES_RANGES = 22;   // the whole file where a part was asked
  static constexpr int CAUSE_SERVER_WRONG_LENGTH = 23;     // another length than it announced
  static constexpr int CAUSE_TOO_MANY_REDIRECTS = 24;      // more than maxRedirects (a loop)
  static constexpr int CAUSE_SERVER_BAD_ANSWER = 25;       // an answer that cannot be used
  static constexpr int CAUSE_RESOURCE_CHANGED = 26;        // changed during a stream
  // The local disk (errorMsg names the path and the system's reason).
  static constexpr int CAUSE_DISK_FULL = 30;
  static constexpr int CAUSE_ACCESS_DENIED = 31;
  static constexpr int CAUSE_FILE_IN_USE = 32;        // held open by another program
  static constexpr int CAUSE_NO_SUCH_DRIVE = 33;      // the drive or directory does not exist
  static constexpr int CAUSE_NAME_NOT_ALLOWED = 34;   // the file system refuses the name
  static constexpr int CAUSE_READ_ONLY = 35;          // a read-only file system
  static constexpr int CAUSE_DISK_ERROR = 36;         // any other failure of the local disk
  // The request.
  static constexpr int CAUSE_BAD_URL = 40;
  static constexpr int CAUSE_BAD_HEADER = 41;
  static constexpr int CAUSE_BAD_PROXY = 42;
  static constexpr int CAUSE_BAD_CHECKSUM = 43;        // ZPRequest::checksum is malformed
  static constexpr int CAUSE_CHECKSUM_MISMATCH = 44;
  static constexpr int CAUSE_BAD_STREAM = 45;          // a stream request that cannot run

  // The fixed text of a cause ("cancelled", "the host name does not exist", ...); "unknown
  // cause" for a value outside the list. Never null; static storage.
  static const char* causeText(int cause);
  // The fixed text of a result or error code of this class ("success", "checksum mismatch",
  // ...); "unknown code" for any other value. Never null; static storage.
  static const char* codeText(int code);

  // Every member at its default: a success without content.
  ZPResponse();
  ZPResponse(int resultCode, int errorCode, const std::string& errorMsg);
  ZPResponse(const ZPResponse&);
  ZPResponse(ZPResponse&&) noexcept;
  ZPResponse& operator=(const ZPResponse&);
  ZPResponse& operator=(ZPResponse&&) noexcept;
  ~ZPResponse();

  int getResultCode() const { return resultCode; }
  int getErrorCode() const { return errorCode; }
  std::string getErrorMsg() const { return errorMsg; }
  // Path of the delivered file; empty for memory output.
  std::string getFile() const { return outputFilePath; }
  // The delivered bytes for memory output (shared with every copy of the response), else null.
  std::shared_ptr<std::vector<uint8_t>> getData() { return outputData; }
  bool isSuccess() const { return resultCode == RESULT_SUCCESS; }
  bool isCancelled() const { return resultCode == RESULT_CANCELLED; }

  // One line for logs: the result, then either the error or where the content is.
  std::string logString() const;

  // MD5 of the delivered content as 32 lowercase hex digits; empty for a failed response or a file
  // that cannot be read (a later call tries again). Cached after the first success. A delivered
  // file is read back through the library that delivered it: a response made by the host with
  // only a file path has no MD5.
  std::string getMd5Etag() const;
  // SHA-256 of the delivered content as 64 lowercase hex digits, like getMd5Etag. A download
  // that was checked against a SHA-256 carries the digest it computed; otherwise it is computed
  // at the first call and cached.
  std::string getSha256() const;

  // The status of the server's answer (the first one of the download, or the one that failed
  // it) and that answer's header lines, names in lower case, in name order; 0 and none when no
  // answer came (memory served from a joined download, a request refused before any).
  int32_t httpCode = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  int32_t extraErrorCode = 0;  // underlying code: libcurl's, 1000 for a bad status, or a writer's
  // The failure's cause (CAUSE_*): set from the codes by the three-argument constructor, made
  // more precise by the library where it knows more (which network error, which disk error).
  int32_t cause = CAUSE_NONE;
  std::string outputFilePath;
  std::shared_ptr<std::vector<uint8_t>> outputData;
  ZPFileLength fileLength;
  int32_t resultCode = RESULT_SUCCESS;
  int32_t errorCode = 0;
  std::string errorMsg;
  mutable std::string md5Etag;
  mutable std::string sha256;

 private:
  static int32_t causeOfCodes(int resultCode, int errorCode);

  friend struct zephyl::ResponseContent;
  // Takes the blocks of a file in order; false stops the reading.
  using BlockSink = std::function<bool(const unsigned char* data, size_t size)>;
  // Hands every block of the file at path to sink; false when the file cannot be read whole.
  using FileReader = std::function<bool(const std::string& path, const BlockSink& sink)>;
  // Set by the library on the responses it delivers (see zephyl::ResponseContent); copies share
  // it. Empty: the delivered file is not read.
  FileReader fileReader_;
};
