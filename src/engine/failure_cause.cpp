#include "engine/failure_cause.h"

#include <curl/curl.h>

#include "engine/curl_transfer.h"
#include "storage/fs.h"

namespace zephyl {
namespace {

// libcurl names the host it could not connect to in its text ("Failed to connect to HOST port").
bool namesHost(const std::string& text, const std::string& host) {
  return !host.empty() && text.find(host) != std::string::npos;
}

}  // namespace

int32_t networkCauseOf(int32_t errorCode, const std::string& errorText,
                       const std::string& proxyHost) {
  switch (errorCode) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return ZPResponse::CAUSE_BAD_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ZPResponse::CAUSE_PROXY_UNREACHABLE;
    case CURLE_COULDNT_RESOLVE_HOST:
      return ZPResponse::CAUSE_HOST_NOT_FOUND;
    case CURLE_COULDNT_CONNECT:
      return namesHost(errorText, proxyHost) ? ZPResponse::CAUSE_PROXY_UNREACHABLE
                                             : ZPResponse::CAUSE_CONNECTION_REFUSED;
    case CURLE_OPERATION_TIMEDOUT:
      return ZPResponse::CAUSE_TIMED_OUT;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return ZPResponse::CAUSE_SERVER_CLOSED_EARLY;
    case CURLE_TOO_MANY_REDIRECTS:
      return ZPResponse::CAUSE_TOO_MANY_REDIRECTS;
    case CURLE_SSL_CONNECT_ERROR:
      return ZPResponse::CAUSE_TLS_FAILED;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ZPResponse::CAUSE_CERTIFICATE_UNTRUSTED;
    case CURLE_WEIRD_SERVER_REPLY:
      return ZPResponse::CAUSE_SERVER_WRONG_LENGTH;
    case ChunkErrors::kHttpCode:
    case ChunkErrors::kAnswerRefused:
      return ZPResponse::CAUSE_SERVER_BAD_ANSWER;
    case ChunkErrors::kNoHandle:
    case CURLE_OUT_OF_MEMORY:
      return ZPResponse::CAUSE_INTERNAL;
    default:
      break;
  }
  // A proxy that refuses the tunnel: libcurl's text says so (its own code differs by version).
  if (!proxyHost.empty() && errorText.find("CONNECT tunnel failed") != std::string::npos) {
    return ZPResponse::CAUSE_PROXY_REFUSED;
  }
  if (namesHost(errorText, proxyHost)) return ZPResponse::CAUSE_PROXY_UNREACHABLE;
  return ZPResponse::CAUSE_NETWORK;
}

void refineDiskCause(ZPResponse& response) {
  if (response.cause != ZPResponse::CAUSE_DISK_ERROR) return;
  // The system's numbers are positive; the library's own codes behind a storage failure are not.
  if (response.extraErrorCode > 0) response.cause = fs::diskCauseOf(response.extraErrorCode);
}

}  // namespace zephyl
