#include "engine/lasting_failure.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "engine/failure_cause.h"
#include "engine/server_time.h"

namespace zephyl {

bool isLastingFailure(int32_t finalStatus, int32_t errorCode) {
  if (finalStatus >= 400 && finalStatus < 500) return finalStatus != 408 && finalStatus != 429;
  // The cause of the code alone: without a text or a proxy host, only a proxy name that does not
  // resolve is the proxy's, and a refused or timed-out connection stays what it is.
  switch (networkCauseOf(errorCode, std::string(), std::string())) {
    case ZPResponse::CAUSE_BAD_URL:
    case ZPResponse::CAUSE_HOST_NOT_FOUND:
    case ZPResponse::CAUSE_PROXY_UNREACHABLE:
    case ZPResponse::CAUSE_TOO_MANY_REDIRECTS:
    case ZPResponse::CAUSE_CERTIFICATE_UNTRUSTED:
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
