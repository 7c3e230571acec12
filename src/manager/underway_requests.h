// UnderwayRequests: the queued requests a task thread has taken off the queue and whose
// onComplete has not returned yet. Meanwhile a request is no longer queued and not always listed
// with a task (it is being refused, waits for a cancelled predecessor, or is about to be listed),
// yet every call by its id must find it: what such a call asks for before the request's download
// is known is kept here and applied when the download is (see started). Not thread-safe: the
// task registry guards it with its registryMutex.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_download_task.h"

namespace zephyl {

class UnderwayRequests {
 public:
  // What was asked for a request before its download was known.
  struct Asked {
    bool cancelled = false;
    std::optional<int64_t> maxBytesPerSecond;
  };

  UnderwayRequests() = default;
  UnderwayRequests(const UnderwayRequests&) = delete;
  UnderwayRequests& operator=(const UnderwayRequests&) = delete;

  // The queued request of ticket was taken off the queue.
  void add(uint64_t ticket, int requestId, const std::string& url);
  // Its onComplete has returned: calls by its id no longer find it here.
  void remove(uint64_t ticket);

  // What was asked for the request of ticket so far. A ticket that is not here (0: a synchronous
  // execute) asked for nothing.
  Asked asked(uint64_t ticket) const;
  // The request of ticket runs as (or joined) task from now on: later calls reach the task.
  void started(uint64_t ticket, const std::shared_ptr<FileDownloadTask>& task);

  // Changes the rate of every request of requestId: kept for those whose download is not known
  // yet, and their downloads appended to *running for the others (the caller sets their rate,
  // and releases them after the registry's unlock). True when any request has the id.
  bool setRate(int requestId, int64_t bytesPerSecond,
               std::vector<std::shared_ptr<FileDownloadTask>>* running);
  // Marks the requests that match and whose download is not known yet cancelled: they never
  // start one. (A known download is cancelled through the registry's table.)
  void cancelWaiting(const std::function<bool(int requestId, const std::string& url)>& match);
  // Appends the URL of every request of requestId.
  void urlsOf(int requestId, std::vector<std::string>* urls) const;

 private:
  struct Underway {
    uint64_t ticket = 0;
    int requestId = 0;
    std::string url;
    std::weak_ptr<FileDownloadTask> task;
    bool taskKnown = false;
    Asked asked;
  };
  // Few: at most the task threads' count of requests are underway at once.
  std::vector<Underway> underway_;
};

}  // namespace zephyl
