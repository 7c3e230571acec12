// ZPRequest and ZPBatchRequest: what a host hands to the download manager. Plain values; the
// manager copies them and every copy keeps its requestId. Construction is thread-safe (the id
// counter is atomic); one request object is not synchronised otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "zephyl/export.h"
#include "zephyl/zp_response.h"

class ZEPHYL_EXPORT ZPRequest {
 public:
  // Sinks selected by outputType; any value other than 0, 2 and 3 selects the single-file sink.
  static constexpr int OUTPUT_CHUNK_FILE = 0;  // one file written in chunks, resumable
  static constexpr int OUTPUT_FILE = 1;        // one file, no resume
  static constexpr int OUTPUT_MEMORY = 2;      // bytes kept in memory
  static constexpr int OUTPUT_STREAM = 3;      // bytes handed to onData in order, nothing kept
  // HTTP authentication schemes of authMethods, combined with |.
  static constexpr int32_t AUTH_BASIC = 1;
  static constexpr int32_t AUTH_DIGEST = 2;

  using StartCallback = std::function<void(const ZPRequest&)>;
  using ProgressCallback =
      std::function<void(const ZPRequest&, int64_t downloadedBytes, int64_t totalBytes)>;
  using CompleteCallback = std::function<void(const ZPRequest&, const ZPResponse&)>;
  using DataCallback = std::function<bool(const ZPRequest&, const char* data, size_t size)>;

  // Both constructors take the next id of serialId; copies keep the id they were made from.
  ZPRequest();
  explicit ZPRequest(const std::string& url);
  ZPRequest(const ZPRequest&);
  ZPRequest(ZPRequest&&) noexcept;
  ZPRequest& operator=(const ZPRequest&);
  ZPRequest& operator=(ZPRequest&&) noexcept;
  ~ZPRequest();

  int getRequestId() const { return requestId; }
  std::string getUrl() const { return url; }
  // "url = <url> fileKey = <fileKey>".
  std::string logString() const;

  int32_t userValue = 0;        // the host's own; never read by the library
  std::string scene;            // label reported in the metrics record when not empty
  std::string savePath;         // explicit path of the finished file (file outputs)
  int32_t renameIfExists = 0;   // non-zero: keep an existing target and pick a free "name(n)"
  bool highPriority = false;    // queued requests only: front of the queue instead of the back
  std::string url;
  int32_t outputType = OUTPUT_CHUNK_FILE;
  StartCallback onStart;        // once, just before the download runs the request
  ProgressCallback onProgress;  // while bytes arrive, on the engine's threads
  CompleteCallback onComplete;  // exactly once with the final response
  // OUTPUT_STREAM: receives the resource's bytes in order from byte 0 while the download runs,
  // on the engine's threads, never concurrently for one request. Returning false (or throwing)
  // stops the download: the response is RESULT_CANCELLED with ZPResponse::STREAM_STOPPED. A
  // stream request without onData fails with ZPResponse::STREAM_ERROR. A stream download never
  // shares its transfers with another request and keeps nothing on disk; a transfer cut mid-way
  // resumes at the next byte not yet handed over, and a resource that changed after bytes were
  // handed over fails with STREAM_ERROR (those bytes cannot be taken back).
  DataCallback onData;
  // OUTPUT_STREAM: the first byte handed to onData (0: the whole resource). The bytes before it
  // are neither fetched nor handed over, so a host can continue a copy it holds up to here. The
  // server must serve ranges: a whole answer fails with STREAM_ERROR, as does an offset at or
  // past the resource's end (with the server's 416 in httpCode; its Content-Range header names the
  // length). A negative offset fails with STREAM_ERROR; with a checksum (which covers the whole
  // resource) the request fails with ILLEGAL_CHECKSUM; other outputs ignore it.
  int64_t streamOffset = 0;
  // Headers of this request, in order, as (name, value); each replaces a header of the same name
  // (in any case) from the settings or the library. The rules of ZPHttpPolicy::headers apply.
  std::vector<std::pair<std::string, std::string>> headers;
  // HTTP authentication when userName is not empty: the server's challenge picks one of
  // authMethods (with both, the first answer of every request is the challenge). The credentials
  // go to the URL's host only, never to another host after a redirect, and are never logged. A
  // user name with CR, LF or NUL fails the request with ZPResponse::ILLEGAL_HEADER.
  // Requests for one URL share one download: a request that joins a running download is served
  // with the headers and credentials of the request that started it.
  std::string userName;
  std::string password;
  int32_t authMethods = AUTH_BASIC | AUTH_DIGEST;
  // This request's own rate limit in bytes per second, shared by its download's parallel
  // transfers; 0 or less: none of its own (the manager's still holds). Changeable while queued or
  // running with Zephyl::setRequestMaxBytesPerSecond. A request that joins a running download
  // shares the limit of the request that started it (its own value is not used), and may change
  // it through its own id.
  int64_t maxBytesPerSecond = 0;
  // The digest the result must have: "sha256:<64 hex digits>" (also "sha-256:") or
  // "md5:<32 hex digits>", in any case; empty: no check. The content is checked before it is
  // delivered: a mismatch fails the request with ZPResponse::CHECKSUM_MISMATCH, the stored
  // download is dropped and nothing reaches the target. Any other value fails the request with
  // ZPResponse::ILLEGAL_CHECKSUM before anything is fetched. Requests that share one download
  // (same URL) are each checked against their own checksum.
  std::string checksum;
  std::string fileKey;          // overwritten by the manager with the key derived from url
  int32_t requestId;

  // Process-wide id counter; the first request of the process gets 1.
  static std::atomic<int> serialId;
};

class ZEPHYL_EXPORT ZPBatchRequest {
 public:
  using RequestStartCallback = std::function<void(const ZPBatchRequest&, int index)>;
  using RequestProgressCallback = std::function<void(
      const ZPBatchRequest&, int index, int64_t downloadedBytes, int64_t totalBytes, int percent)>;
  using RequestCompleteCallback =
      std::function<void(const ZPBatchRequest&, int index, const ZPResponse&)>;
  using BatchCompleteCallback =
      std::function<void(const ZPBatchRequest&, const std::vector<ZPResponse>&)>;

  ZPBatchRequest();
  explicit ZPBatchRequest(const std::vector<ZPRequest>& requests);
  ZPBatchRequest(const ZPBatchRequest&);
  ZPBatchRequest(ZPBatchRequest&&) noexcept;
  ZPBatchRequest& operator=(const ZPBatchRequest&);
  ZPBatchRequest& operator=(ZPBatchRequest&&) noexcept;
  ~ZPBatchRequest();

  std::vector<ZPRequest> requests;  // order of indexes and of the response list
  RequestStartCallback onRequestStart;
  RequestProgressCallback onRequestProgress;  // percent: the whole batch's progress
  RequestCompleteCallback onRequestComplete;
  BatchCompleteCallback onBatchComplete;  // responses in the order of requests
};
