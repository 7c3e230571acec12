#include "spider_run.h"

#include <unistd.h>

#include <cstdlib>

#include "zephyl/zp_redaction.h"
#include "failure_text.h"
#include "interrupt_watcher.h"
#include "units.h"

namespace zget {
namespace {

// A stream whose first bytes stop the request: the answer is judged (status, validator, length)
// as for any download, and a body, if any, is not fetched beyond its first buffer. The library
// keeps nothing of a stream.
ZPRequest spiderRequest(const PlannedDownload& download, const ToolOptions& options) {
  ZPRequest request(download.url);
  request.outputType = ZPRequest::OUTPUT_STREAM;
  request.onData = [](const ZPRequest&, const char*, size_t) { return false; };
  request.scene = "zget";
  request.userName = options.user;
  request.password = options.password;
  return request;
}

// Whether the answer was a good one: an empty resource ends as a success, any other as a stream
// the first bytes stopped.
bool answered(const ZPResponse& response) {
  return response.isSuccess() || response.errorCode == ZPResponse::STREAM_STOPPED;
}

// The resource's length as the answer names it: a part's Content-Range total, else a whole
// answer's Content-Length; -1 when it names none.
int64_t lengthOfAnswer(const ZPResponse& response) {
  for (const auto& [name, value] : response.headers) {
    const size_t slash = value.rfind('/');
    if (name == "content-range" && slash != std::string::npos && value[slash + 1] != '*') {
      return std::strtoll(value.c_str() + slash + 1, nullptr, 10);
    }
  }
  for (const auto& [name, value] : response.headers) {
    if (name == "content-length" && response.httpCode == 200) {
      return std::strtoll(value.c_str(), nullptr, 10);
    }
  }
  return -1;
}

void printNote(const std::string& line) {
  const std::string text = "zget: " + line + "\n";
  (void)writeAll(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

int runSpider(const RunContext& context, const std::vector<PlannedDownload>& downloads) {
  const ToolOptions& options = *context.options;
  ZPBatchRequest batch;
  for (const PlannedDownload& download : downloads) {
    batch.requests.push_back(spiderRequest(download, options));
  }
  Zephyl* manager = context.manager;
  InterruptWatcher watcher([manager] { manager->cancelAll(); });
  watcher.start();
  const std::vector<ZPResponse> responses = manager->batchExecute(batch);
  watcher.stop();
  if (watcher.signalNumber() != 0) return 128 + watcher.signalNumber();
  int failed = 0;
  for (size_t i = 0; i < downloads.size() && i < responses.size(); ++i) {
    const ZPResponse& response = responses[i];
    if (options.serverResponse) printAnswer(response);
    const std::string url = zephyl::redactUrl(downloads[i].url);
    if (!answered(response)) {
      ++failed;
      printNote(describeFailure(downloads[i].url, response, response.httpCode,
                                FailurePlace{std::string(), context.cacheRoot},
                                !options.user.empty(), options.verbose));
      continue;
    }
    if (options.quiet) continue;
    const int64_t length = lengthOfAnswer(response);
    printNote(url + " answers" + (length >= 0 ? " (" + formatBytes(length) + ")" : ""));
  }
  return failed > 0 ? kExitFailure : kExitSuccess;
}

}  // namespace zget
