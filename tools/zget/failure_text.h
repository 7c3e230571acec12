// Plain words for failed downloads: what happened and what to do, in the user's terms, e.g.
// "404 Not Found from example.org: the file is not there (http://example.org/a.bin)". The
// library's codes and message follow only when asked for (--verbose). Pure functions, except
// that a full disk is measured to say how much room is free; thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "zephyl/zp_response.h"

namespace zget {

// Where a download's bytes were going, to name the directory a storage failure is about.
struct FailurePlace {
  std::string targetDir;  // directory of the finished file; empty: standard output
  std::string cacheDir;   // the storage root that keeps unfinished downloads
  // How far the download came: bytes stored and the whole length as the last progress report
  // told them; -1 when unknown. A connection closed early is told with them.
  int64_t storedBytes = -1;
  int64_t totalBytes = -1;
};

// One sentence (without "zget: ") for a response that is neither a success nor cancelled.
// httpStatus: the status the server answered, 0 when unknown. userGiven: credentials were sent
// (a 401 then means they were refused). verbose: the library's codes and message appended.
std::string describeFailure(const std::string& url, const ZPResponse& response, int httpStatus,
                            const FailurePlace& place, bool userGiven, bool verbose);

// What a failure to write into dir means for the user: "not enough space on DIR" (with what is
// needed and free when libraryMessage tells the length), "cannot write to DIR: permission
// denied", and so on for the system's code (an errno value).
std::string storageFailureWords(int systemCode, const std::string& dir,
                                const std::string& libraryMessage);

// "HOST" or "HOST:PORT" of url, without user information; url itself when it has none.
std::string hostOf(const std::string& url);

}  // namespace zget
