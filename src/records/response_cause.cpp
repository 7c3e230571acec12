// The causes of ZPResponse: the cause its codes imply, and the fixed texts of causes and codes.
#include "zephyl/zp_response.h"

namespace {

struct Named {
  int value;
  const char* text;
};

constexpr Named kCauses[] = {
    {ZPResponse::CAUSE_NONE, "success"},
    {ZPResponse::CAUSE_CANCELLED, "cancelled"},
    {ZPResponse::CAUSE_STOPPED, "stopped by the receiver"},
    {ZPResponse::CAUSE_INTERNAL, "the library could not run the request"},
    {ZPResponse::CAUSE_NETWORK, "the network connection failed"},
    {ZPResponse::CAUSE_HOST_NOT_FOUND, "the host name does not exist"},
    {ZPResponse::CAUSE_CONNECTION_REFUSED, "the server cannot be reached"},
    {ZPResponse::CAUSE_TIMED_OUT, "the server did not answer in time"},
    {ZPResponse::CAUSE_CERTIFICATE_UNTRUSTED, "the server's certificate is not trusted"},
    {ZPResponse::CAUSE_TLS_FAILED, "the secure connection failed"},
    {ZPResponse::CAUSE_PROXY_UNREACHABLE, "the proxy cannot be reached"},
    {ZPResponse::CAUSE_PROXY_REFUSED, "the proxy refused the request"},
    {ZPResponse::CAUSE_SERVER_STATUS, "the server answered with an error status"},
    {ZPResponse::CAUSE_SERVER_CLOSED_EARLY, "the server closed the connection early"},
    {ZPResponse::CAUSE_SERVER_IGNORES_RANGES, "the server does not send parts of the file"},
    {ZPResponse::CAUSE_SERVER_WRONG_LENGTH, "the server sent another length than it announced"},
    {ZPResponse::CAUSE_TOO_MANY_REDIRECTS, "too many redirects"},
    {ZPResponse::CAUSE_SERVER_BAD_ANSWER, "the server's answer cannot be used"},
    {ZPResponse::CAUSE_RESOURCE_CHANGED, "the file changed on the server"},
    {ZPResponse::CAUSE_DISK_FULL, "the disk is full"},
    {ZPResponse::CAUSE_ACCESS_DENIED, "access denied"},
    {ZPResponse::CAUSE_FILE_IN_USE, "the file is in use by another program"},
    {ZPResponse::CAUSE_NO_SUCH_DRIVE, "no such drive or directory"},
    {ZPResponse::CAUSE_NAME_NOT_ALLOWED, "the file name is not allowed"},
    {ZPResponse::CAUSE_READ_ONLY, "the file system is read-only"},
    {ZPResponse::CAUSE_DISK_ERROR, "the local disk failed"},
    {ZPResponse::CAUSE_BAD_URL, "the URL cannot be used"},
    {ZPResponse::CAUSE_BAD_HEADER, "a header or credential cannot be sent"},
    {ZPResponse::CAUSE_BAD_PROXY, "the proxy setting cannot be used"},
    {ZPResponse::CAUSE_BAD_CHECKSUM, "the checksum is malformed"},
    {ZPResponse::CAUSE_CHECKSUM_MISMATCH, "the content does not match its checksum"},
    {ZPResponse::CAUSE_BAD_STREAM, "the stream request cannot run"},
};

constexpr Named kCodes[] = {
    {ZPResponse::RESULT_SUCCESS, "success"},
    {ZPResponse::RESULT_FAILED, "failed"},
    {ZPResponse::RESULT_CANCELLED, "cancelled"},
    {ZPResponse::EXECUTE_ERROR, "execute error"},
    {ZPResponse::BLOCK_HTTP_SERVER_ERROR, "HTTP server error"},
    {ZPResponse::BLOCK_HTTP_NETWORK_ERROR, "network error"},
    {ZPResponse::DATA_WRITE_ERROR, "data write error"},
    {ZPResponse::CANCELLED_ERROR, "cancelled"},
    {ZPResponse::ILLEGAL_URL, "illegal URL"},
    {ZPResponse::CACHE_ERROR, "cache error"},
    {ZPResponse::ILLEGAL_HEADER, "illegal header"},
    {ZPResponse::ILLEGAL_PROXY, "illegal proxy"},
    {ZPResponse::CHECKSUM_MISMATCH, "checksum mismatch"},
    {ZPResponse::ILLEGAL_CHECKSUM, "illegal checksum"},
    {ZPResponse::STREAM_ERROR, "stream error"},
    {ZPResponse::STREAM_STOPPED, "stream stopped"},
};

}  // namespace

const char* ZPResponse::causeText(int cause) {
  for (const Named& named : kCauses) {
    if (named.value == cause) return named.text;
  }
  return "unknown cause";
}

const char* ZPResponse::codeText(int code) {
  for (const Named& named : kCodes) {
    if (named.value == code) return named.text;
  }
  return "unknown code";
}

// The cause a response's codes imply, before the library knows more.
int32_t ZPResponse::causeOfCodes(int resultCode, int errorCode) {
  if (resultCode == RESULT_SUCCESS) return CAUSE_NONE;
  if (resultCode == RESULT_CANCELLED) {
    return errorCode == STREAM_STOPPED ? CAUSE_STOPPED : CAUSE_CANCELLED;
  }
  switch (errorCode) {
    case ILLEGAL_URL: return CAUSE_BAD_URL;
    case ILLEGAL_HEADER: return CAUSE_BAD_HEADER;
    case ILLEGAL_PROXY: return CAUSE_BAD_PROXY;
    case ILLEGAL_CHECKSUM: return CAUSE_BAD_CHECKSUM;
    case CHECKSUM_MISMATCH: return CAUSE_CHECKSUM_MISMATCH;
    case STREAM_ERROR: return CAUSE_BAD_STREAM;
    case BLOCK_HTTP_SERVER_ERROR: return CAUSE_SERVER_STATUS;
    case BLOCK_HTTP_NETWORK_ERROR: return CAUSE_NETWORK;
    case DATA_WRITE_ERROR:
    case CACHE_ERROR: return CAUSE_DISK_ERROR;
    case CANCELLED_ERROR: return CAUSE_CANCELLED;
    default: return CAUSE_INTERNAL;
  }
}
