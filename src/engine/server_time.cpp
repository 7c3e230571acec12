#include "engine/server_time.h"

#include <curl/curl.h>

#include "diagnostics/log.h"
#include "storage/fs.h"

namespace zephyl {

int64_t httpDateSeconds(const std::string& text) {
  if (text.empty()) return -1;
  const time_t seconds = curl_getdate(text.c_str(), nullptr);
  return seconds < 0 ? -1 : static_cast<int64_t>(seconds);
}

int64_t serverTimeOf(const std::string& lastModified, const std::string& validator) {
  const int64_t answered = httpDateSeconds(lastModified);
  if (answered >= 0) return answered;
  // A strong ETag keeps its quotes: only an unquoted validator is a date.
  if (validator.empty() || validator.front() == '"') return -1;
  return httpDateSeconds(validator);
}

void giveServerTime(const ZPResponse& delivered, int64_t unixSeconds) {
  if (unixSeconds < 0 || !delivered.isSuccess() || delivered.outputFilePath.empty()) return;
  const Status set = fs::setFileModifiedTime(delivered.outputFilePath, unixSeconds);
  if (!set.isOk()) {
    ZP_LOG(Warn) << "server time not kept: " << set.message() << " (" << set.code() << ")";
  }
}

}  // namespace zephyl
