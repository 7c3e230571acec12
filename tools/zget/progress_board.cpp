#include "progress_board.h"

namespace zget {

ProgressBoard::ProgressBoard(const std::vector<std::string>& names,
                             const std::vector<std::string>& paths) {
  for (size_t i = 0; i < names.size(); ++i) {
    slots_.emplace_back(names[i], i < paths.size() ? paths[i] : names[i]);
  }
}

int64_t ProgressBoard::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

DownloadSlot* ProgressBoard::find(int index) {
  if (index < 0 || static_cast<size_t>(index) >= slots_.size()) return nullptr;
  return &slots_[static_cast<size_t>(index)];
}

void ProgressBoard::resumes(int index, int64_t stored, int64_t total) {
  DownloadSlot* slot = find(index);
  if (slot == nullptr) return;
  slot->resumedFrom.store(stored, std::memory_order_relaxed);
  slot->downloaded.store(stored, std::memory_order_relaxed);
  slot->total.store(total, std::memory_order_relaxed);
}

void ProgressBoard::started(int index) {
  DownloadSlot* slot = find(index);
  if (slot == nullptr) return;
  slot->startedAtMs.store(nowMs(), std::memory_order_relaxed);
  slot->state.store(kRunning, std::memory_order_release);
  wake();
}

void ProgressBoard::progress(int index, int64_t downloaded, int64_t total) {
  DownloadSlot* slot = find(index);
  if (slot == nullptr) return;
  slot->downloaded.store(downloaded, std::memory_order_relaxed);
  slot->total.store(total, std::memory_order_relaxed);
}

void ProgressBoard::finished(int index, SlotState state, int64_t length,
                             const std::string& path) {
  DownloadSlot* slot = find(index);
  if (slot == nullptr) return;
  if (!path.empty()) slot->path = path;
  const bool success = state == kSucceeded;
  if (success && length > 0) {
    slot->downloaded.store(length, std::memory_order_relaxed);
    slot->total.store(length, std::memory_order_relaxed);
  }
  slot->endedAtMs.store(nowMs(), std::memory_order_relaxed);
  slot->state.store(state, std::memory_order_release);
  wake();
}

void ProgressBoard::interrupted() {
  interrupted_.store(true, std::memory_order_release);
  wake();
}

void ProgressBoard::wake() {
  {
    MutexLock lock(mutex_);
    ++events_;
  }
  changed_.notifyAll();
}

void ProgressBoard::waitForEvent(uint64_t* seen, std::chrono::steady_clock::time_point deadline) {
  MutexLock lock(mutex_);
  while (events_ == *seen) {
    if (!changed_.waitUntil(mutex_, deadline)) break;
  }
  *seen = events_;
}

}  // namespace zget
