#include "manager/underway_requests.h"

#include <algorithm>

namespace zephyl {

void UnderwayRequests::add(uint64_t ticket, int requestId, const std::string& url) {
  Underway entry;
  entry.ticket = ticket;
  entry.requestId = requestId;
  entry.url = url;
  underway_.push_back(std::move(entry));
}

void UnderwayRequests::remove(uint64_t ticket) {
  underway_.erase(std::remove_if(underway_.begin(), underway_.end(),
                                 [ticket](const Underway& entry) { return entry.ticket == ticket; }),
                  underway_.end());
}

UnderwayRequests::Asked UnderwayRequests::asked(uint64_t ticket) const {
  for (const Underway& entry : underway_) {
    if (entry.ticket == ticket) return entry.asked;
  }
  return {};
}

void UnderwayRequests::started(uint64_t ticket, const std::shared_ptr<FileDownloadTask>& task) {
  for (Underway& entry : underway_) {
    if (entry.ticket != ticket) continue;
    entry.task = task;
    entry.taskKnown = true;
  }
}

bool UnderwayRequests::setRate(int requestId, int64_t bytesPerSecond,
                               std::vector<std::shared_ptr<FileDownloadTask>>* running) {
  bool known = false;
  for (Underway& entry : underway_) {
    if (entry.requestId != requestId) continue;
    known = true;
    if (!entry.taskKnown) {
      entry.asked.maxBytesPerSecond = bytesPerSecond;
    } else if (std::shared_ptr<FileDownloadTask> task = entry.task.lock()) {
      running->push_back(std::move(task));
    }
  }
  return known;
}

void UnderwayRequests::cancelWaiting(
    const std::function<bool(int requestId, const std::string& url)>& match) {
  for (Underway& entry : underway_) {
    if (!entry.taskKnown && match(entry.requestId, entry.url)) entry.asked.cancelled = true;
  }
}

void UnderwayRequests::urlsOf(int requestId, std::vector<std::string>* urls) const {
  for (const Underway& entry : underway_) {
    if (entry.requestId == requestId) urls->push_back(entry.url);
  }
}

}  // namespace zephyl
