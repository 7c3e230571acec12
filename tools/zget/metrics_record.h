// Reading zget's own facts back from the library's metrics records (JSON texts): the HTTP status
// a failed download got is not part of its response. Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

namespace zget {

// The "http_code" of the last metrics record (JSON texts, oldest first) whose "url" is url;
// 0 when no record names it.
int httpStatusFromRecords(const std::vector<std::string>& records, const std::string& url);

}  // namespace zget
