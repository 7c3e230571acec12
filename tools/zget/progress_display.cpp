#include "progress_display.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "display_width.h"
#include "platform.h"
#include "progress_line.h"
#include "units.h"

namespace zget {
namespace {

constexpr size_t kMaxLiveDownloads = 6;
constexpr size_t kDefaultWidth = 80;
// Columns a live line leaves free at the terminal's right edge: one, so that the cursor never
// wraps, and two for the "^C" a terminal echoes where the cursor stands. A line that wrapped
// would move the cursor down a row, and the redraw after the interrupt would leave the old row
// on the screen.
constexpr size_t kSpareColumns = 3;

std::string percentText(int64_t downloaded, int64_t total) {
  if (total <= 0) return std::string();
  const int64_t percent = std::clamp<int64_t>(downloaded * 100 / total, 0, 100);
  return std::to_string(percent) + "%";
}

}  // namespace

ProgressDisplay::ProgressDisplay(ProgressBoard* board, Mode mode, int fd, int64_t lineIntervalMs)
    : board_(board), mode_(mode), fd_(fd), lineIntervalMs_(lineIntervalMs) {}

ProgressDisplay::~ProgressDisplay() { stop(); }

void ProgressDisplay::start() {
  if (thread_.joinable()) return;
  startedAtMs_ = ProgressBoard::nowMs();
  meters_.assign(board_->size(), SpeedMeter());
  seenStates_.assign(board_->size(), kQueued);
  thread_ = std::thread([this] { run(); });
}

void ProgressDisplay::note(const std::string& line) {
  {
    MutexLock lock(mutex_);
    pendingNotes_.push_back(line);
  }
  board_->wake();
}

void ProgressDisplay::stop() {
  {
    MutexLock lock(mutex_);
    stopRequested_ = true;
  }
  board_->wake();
  if (thread_.joinable()) thread_.join();
}

void ProgressDisplay::run() {
  using Clock = std::chrono::steady_clock;
  uint64_t seenEvents = 0;
  Clock::time_point nextRedraw = Clock::now();
  Clock::time_point nextLines = Clock::now() + std::chrono::milliseconds(lineIntervalMs_);
  std::vector<std::string> notes;
  for (;;) {
    bool stopping = false;
    {
      MutexLock lock(mutex_);
      notes.insert(notes.end(), pendingNotes_.begin(), pendingNotes_.end());
      pendingNotes_.clear();
      stopping = stopRequested_;
    }
    const Clock::time_point now = Clock::now();
    const bool sample = now >= nextRedraw;
    if (sample || stopping) {
      const int64_t nowMs = ProgressBoard::nowMs();
      // Speeds are sampled at the redraw rate in both modes.
      for (size_t i = 0; i < board_->size(); ++i) {
        const DownloadSlot& slot = board_->slot(i);
        if (slot.state.load(std::memory_order_acquire) == kRunning) {
          meters_[i].add(nowMs, slot.downloaded.load(std::memory_order_relaxed));
        } else {
          meters_[i].clear();
        }
      }
      nextRedraw = now + std::chrono::milliseconds(kRedrawIntervalMs);
    }
    collectEndings(&notes);
    if (mode_ == Mode::kTerminal) {
      // Notes wait for the next redraw so that the terminal is never written more often.
      if (sample || stopping) {
        drawTerminal(notes, liveLines(stopping), stopping);
        notes.clear();
      }
    } else {
      std::vector<std::string> lines;
      if (now >= nextLines && !stopping) {
        lines = liveLines(false);
        nextLines = now + std::chrono::milliseconds(lineIntervalMs_);
      }
      drawLines(notes, lines);
      notes.clear();
    }
    if (stopping) return;
    board_->waitForEvent(&seenEvents, nextRedraw);
  }
}

void ProgressDisplay::collectEndings(std::vector<std::string>* notes) {
  if (board_->isInterrupted() && !announcedInterrupt_) {
    announcedInterrupt_ = true;
    notes->push_back("interrupted: stopping the downloads, partial data is kept");
  }
  for (size_t i = 0; i < board_->size(); ++i) {
    const DownloadSlot& slot = board_->slot(i);
    const int state = slot.state.load(std::memory_order_acquire);
    if (state == seenStates_[i]) continue;
    seenStates_[i] = state;
    // Only an ending has a note; the path is the finishing thread's until it stores the state.
    if (state == kQueued || state == kRunning) continue;
    const int64_t total = slot.total.load(std::memory_order_relaxed);
    const int64_t startedAt = slot.startedAtMs.load(std::memory_order_relaxed);
    const int64_t endedAt = slot.endedAtMs.load(std::memory_order_relaxed);
    const double seconds =
        startedAt > 0 && endedAt >= startedAt ? static_cast<double>(endedAt - startedAt) / 1000 : 0;
    const std::string path = platform::shownPath(slot.path);
    if (state == kSucceeded) {
      // The rate of this run: bytes an earlier run stored are not counted.
      const int64_t fetched = total - slot.resumedFrom.load(std::memory_order_relaxed);
      std::string line = "saved    " + path + "  " + formatBytes(total);
      if (fetched < total) line += " (" + formatBytes(std::max<int64_t>(fetched, 0)) + " fetched)";
      line += " in " + formatElapsed(seconds);
      if (seconds > 0 && fetched > 0) {
        line += ", " + formatSpeed(static_cast<double>(fetched) / seconds);
      }
      notes->push_back(line);
    } else if (state == kUpToDate) {
      notes->push_back("kept     " + path + "  (not newer on the server)");
    } else if (state == kComplete) {
      notes->push_back("kept     " + path + "  (complete already)");
    } else if (state == kFailed && !board_->isInterrupted()) {
      // A download the interrupt stopped is told after the run, with what is stored of it: the
      // amount the next run resumes at, which the last progress report may lag behind.
      notes->push_back("failed   " + slot.name);
    }
  }
}

std::vector<std::string> ProgressDisplay::liveLines(bool final) {
  const size_t width = terminalWidth();
  std::vector<std::string> lines;
  double totalSpeed = 0;
  size_t running = 0;
  for (size_t i = 0; i < board_->size(); ++i) {
    const int state = board_->slot(i).state.load(std::memory_order_acquire);
    if (state != kRunning && !(board_->size() == 1 && state == kQueued)) continue;
    const double speed = meters_[i].bytesPerSecond(ProgressBoard::nowMs());
    totalSpeed += speed;
    ++running;
    if (!final && lines.size() < kMaxLiveDownloads) lines.push_back(downloadLine(i, speed, width));
  }
  if (!final && running > kMaxLiveDownloads) {
    lines.push_back("  ... and " + std::to_string(running - kMaxLiveDownloads) + " more running");
  }
  if (board_->size() > 1) lines.push_back(totalLine(totalSpeed, width, final));
  return lines;
}

std::string ProgressDisplay::downloadLine(size_t index, double speed, size_t width) const {
  const DownloadSlot& slot = board_->slot(index);
  const int64_t downloaded = slot.downloaded.load(std::memory_order_relaxed);
  const int64_t total = slot.total.load(std::memory_order_relaxed);
  LineFigures figures;
  if (slot.state.load(std::memory_order_acquire) == kQueued) {
    figures.done = "starting";
  } else {
    figures.done = formatBytes(downloaded);
    if (total > 0) {
      figures.total = formatBytes(total);
      figures.percent = percentText(downloaded, total);
    }
    figures.rate = formatSpeed(speed);
    if (total > 0 && speed > 0) {
      figures.left = formatDuration(static_cast<double>(total - downloaded) / speed) + " left";
    }
  }
  // A line wider than the terminal would wrap and spoil the cursor arithmetic of the redraw.
  return composeDownloadLine(slot.name, figures, width);
}

std::string ProgressDisplay::totalLine(double speed, size_t width, bool final) const {
  int64_t downloaded = 0;
  int64_t total = 0;
  bool allKnown = true;
  size_t done = 0;
  for (size_t i = 0; i < board_->size(); ++i) {
    const DownloadSlot& slot = board_->slot(i);
    const int state = slot.state.load(std::memory_order_acquire);
    if (state >= kSucceeded) ++done;
    downloaded += slot.downloaded.load(std::memory_order_relaxed);
    const int64_t length = slot.total.load(std::memory_order_relaxed);
    total += length;
    if (length <= 0) allKnown = false;
  }
  std::string line = "[" + std::to_string(done) + "/" + std::to_string(board_->size()) +
                     " done]  " + formatBytes(downloaded);
  // The share of the bytes, once every length is known; a count of finished downloads would
  // say half when one small file of two is in.
  if (allKnown) line += " / " + formatBytes(total) + "  " + percentText(downloaded, total);
  if (final) {
    const double seconds = static_cast<double>(ProgressBoard::nowMs() - startedAtMs_) / 1000;
    line += "  in " + formatElapsed(seconds);
    if (seconds > 0 && fetchedThisRun(downloaded) > 0) {
      line += ", " + formatSpeed(static_cast<double>(fetchedThisRun(downloaded)) / seconds);
    }
    return fitColumns(line, width);
  }
  line += "  " + formatSpeed(speed);
  if (allKnown && speed > 0 && total > downloaded) {
    line += "  " + formatDuration(static_cast<double>(total - downloaded) / speed) + " left";
  }
  return fitColumns(line, width);
}

int64_t ProgressDisplay::fetchedThisRun(int64_t downloaded) const {
  for (size_t i = 0; i < board_->size(); ++i) {
    downloaded -= board_->slot(i).resumedFrom.load(std::memory_order_relaxed);
  }
  return downloaded;
}

void ProgressDisplay::drawTerminal(const std::vector<std::string>& notes,
                                   const std::vector<std::string>& lines, bool final) {
  // One carriage return per redraw: back to the start of the block, clear it, write the notes
  // (which scroll away) and the new block, leaving the cursor at the end of its last line.
  if (final && notes.empty() && lines.empty() && drawnLines_ == 0) return;  // already clean
  std::string out = "\r";
  if (drawnLines_ > 1) out += "\x1b[" + std::to_string(drawnLines_ - 1) + "A";
  out += "\x1b[J";
  for (const std::string& note : notes) out += note + "\n";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += "\n";
    out += lines[i];
  }
  drawnLines_ = lines.size();
  if (final && !lines.empty()) {
    out += "\n";
    drawnLines_ = 0;
  }
  write(out);
}

void ProgressDisplay::drawLines(const std::vector<std::string>& notes,
                                const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& note : notes) out += note + "\n";
  for (const std::string& line : lines) out += line + "\n";
  if (!out.empty()) write(out);
}

size_t ProgressDisplay::terminalWidth() const {
  if (mode_ != Mode::kTerminal) return 200;
  const int columns = platform::terminalColumns(fd_);
  if (columns >= 20) return static_cast<size_t>(columns) - kSpareColumns;
  return kDefaultWidth - kSpareColumns;
}

void ProgressDisplay::write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // standard error is gone; the downloads go on
    done += static_cast<size_t>(written);
  }
}

}  // namespace zget
