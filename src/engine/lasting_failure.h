// Which failures of a range no repeat can change (a 404, an untrusted certificate, a name that
// does not exist, a redirect loop), and how long a server asks to be left alone (Retry-After).
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zephyl {

// True when the attempt that ended with finalStatus (the last answer's status, 0 when none) and
// errorCode (libcurl's result, or the client's own codes of ChunkErrors) failed for a reason that
// the same request would meet again: a status 4xx other than 408 (the server stopped waiting)
// and 429 (it asks for fewer requests); a certificate that is not trusted; a host or proxy name
// that does not exist (libcurl's "could not resolve"; a resolver that does not answer in time
// ends as a time-out instead); too many redirects; a URL libcurl cannot use.
bool isLastingFailure(int32_t finalStatus, int32_t errorCode);

// The pause a 429 or 503 answer asks for with its Retry-After header (seconds, or an HTTP date
// measured from nowUnixSeconds), in milliseconds, at most maxMs; -1 for another status, no such
// header, or a value that is neither.
int64_t retryAfterMs(int32_t status, const std::map<std::string, std::string>& headers,
                     int64_t nowUnixSeconds, int64_t maxMs);

}  // namespace zephyl
