// Checks a URL before anything is fetched, so that a typo is a usage error at once instead of a
// failed download after the retries. Pure functions; thread-safe.
#pragma once

#include <string>

namespace zget {

// Returns true when url can be downloaded: an http:// or https:// URL (scheme in any case) with
// a host of its own, no blanks or control characters, and a port from 1 to 65535 when one is
// given. A URL without a scheme ("example.org/a.bin") is taken as http, as other download tools
// do: *usable is url with "http://" put in front. On false, *reason says what is wrong, in the
// user's words.
bool checkUrl(const std::string& url, std::string* usable, std::string* reason);

}  // namespace zget
