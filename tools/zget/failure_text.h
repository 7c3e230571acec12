// Plain words for failed downloads: what went wrong, with the library's error code and message,
// e.g. "the server answered 404 for <url> (error -9991, http code error)". The HTTP status is
// not part of a response; it is read from the download's metrics record when one was kept.
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "zephyl/zp_response.h"

namespace zget {

// One sentence (without "zget: ") for a response that is neither a success nor cancelled.
// httpStatus: the status the server answered, 0 when unknown.
std::string describeFailure(const std::string& url, const ZPResponse& response, int httpStatus);

// The "http_code" of the last metrics record (JSON texts, oldest first) whose "url" is url;
// 0 when no record names it.
int httpStatusFromRecords(const std::vector<std::string>& records, const std::string& url);

}  // namespace zget
