// DownloadMetrics: the performance record of one download task execution, sent once as JSON to
// the metrics library at the end of the execution. Filled by the task's thread and, under the
// planner's care, from chunk results; not synchronised itself.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

class PelvarResponse;

namespace zephyl {

// The host's identity strings for the metrics library, read by the manager on the host's own
// threads (where the host sets them) and handed down with each download.
struct MetricsIdentity {
  std::string gid;
  std::string uid;
};

struct DownloadMetrics {
  // Member names are the JSON keys.
  int32_t result = 0;
  int32_t error_code = 0;
  int32_t http_code = 0;
  int32_t client_error_code = 0;
  int32_t client_extra_error_code = 0;
  int64_t content_length = 0;
  std::string url;
  std::string error_msg;
  std::string scene;
  std::unordered_set<std::string> domains;
  std::unordered_set<std::string> remoteIp;
  std::unordered_set<std::string> cdn;
  int64_t first_response_time = 0;
  int64_t download_time = 0;
  int64_t download_size = 0;
  int64_t cache_size = 0;
  int64_t block_size = 0;
  int64_t thread_num = 0;

  // The record as formatted JSON: {"category", "name", "label": {...}, "metric": {...}}.
  std::string toJson() const;

  // Forwards the host's identity strings to the metrics library where it has none, then hands
  // the JSON text to it for upload. Never fails the download; the outcome is only logged.
  void send(const MetricsIdentity& identity) const;
};

// Completion callback of the metrics upload, run on the metrics library's own thread: logs
// "ZPPelvar request success" + message or "ZPPelvar request fail: " + message at Debug.
void onUploadResult(PelvarResponse& response);

}  // namespace zephyl
