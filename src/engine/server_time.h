// The server's modification time of a download, given to its delivered files: the Last-Modified
// date of its answers read as seconds, and the file-system call that sets it. Pure functions of
// their arguments apart from the file they touch; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "zephyl/zp_response.h"

namespace zephyl {

// Seconds since 1970-01-01 00:00 UTC of an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT", or the
// older forms HTTP still allows), -1 when text is empty or no date libcurl can read.
int64_t httpDateSeconds(const std::string& text);

// The time of a download: its answers' Last-Modified when readable, else the stored validator
// when that is a date (a download delivered from stored bytes alone got no answer), else -1.
int64_t serverTimeOf(const std::string& lastModified, const std::string& validator);

// Sets the modification time of the file response delivered to unixSeconds. Nothing for a
// failed response, one delivered to memory, or a time of -1. A failure is logged only: the file
// is delivered whole, it merely keeps the time of its delivery.
void giveServerTime(const ZPResponse& delivered, int64_t unixSeconds);

}  // namespace zephyl
