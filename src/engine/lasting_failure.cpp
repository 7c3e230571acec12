#include "engine/lasting_failure.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "engine/server_time.h"

namespace zephyl {

bool isLastingFailure(int32_t finalStatus, int32_t errorCode) {
  if (finalStatus >= 400 && finalStatus < 500) return finalStatus != 408 && finalStatus != 429;
  switch (errorCode) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

int64_t retryAfterMs(int32_t status, const std::map<std::string, std::string>& headers,
                     int64_t nowUnixSeconds, int64_t maxMs) {
  if (status != 429 && status != 503) return -1;
  const auto found = headers.find("retry-after");
  if (found == headers.end() || found->second.empty()) return -1;
  const std::string& value = found->second;
  int64_t seconds = -1;
  if (std::all_of(value.begin(), value.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
    // More digits than a day's worth of seconds needs are simply the bound.
    seconds = value.size() > 9 ? maxMs / 1000 + 1 : std::stoll(value);
  } else {
    const int64_t date = httpDateSeconds(value);
    if (date < 0) return -1;
    seconds = std::max<int64_t>(0, date - nowUnixSeconds);
  }
  return std::min<int64_t>(seconds * 1000, std::max<int64_t>(0, maxMs));
}

}  // namespace zephyl
