// ProgressDisplay: the display thread of zget. It reads a ProgressBoard at a steady rate and
// writes to one file descriptor (standard error): on a terminal a block of lines redrawn in
// place, at most five times a second; elsewhere plain lines at a longer interval. It also
// prints notes (finished downloads, interruption) above the live block. start/stop/note may be
// called from any thread; the drawing happens on the display's own thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "annotated_locks/annotated_mutex.h"
#include "progress_board.h"
#include "speed_meter.h"

namespace zget {

class ProgressDisplay {
 public:
  enum class Mode { kTerminal, kLines };

  // fd is not owned. lineIntervalMs: the period of kLines output.
  ProgressDisplay(ProgressBoard* board, Mode mode, int fd, int64_t lineIntervalMs);
  ~ProgressDisplay();  // stops the thread if still running
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void start();
  // Queues a line to print above the live block; printed on the next wake-up.
  void note(const std::string& line) EXCLUDES(mutex_);
  // Prints the last notes and the final state, ends the output with a newline and joins.
  void stop() EXCLUDES(mutex_);

  // Time between two redraws on a terminal.
  static constexpr int64_t kRedrawIntervalMs = 200;

 private:
  void run() EXCLUDES(mutex_);
  // Turns finished downloads into notes. Display thread only.
  void collectEndings(std::vector<std::string>* notes);
  // The live block; final: only the total line of a batch.
  std::vector<std::string> liveLines(bool final);
  std::string downloadLine(size_t index, double speed, size_t width) const;
  // final: the run's time instead of speed and time left.
  std::string totalLine(double speed, size_t width, bool final) const;
  // downloaded less what earlier runs had stored.
  int64_t fetchedThisRun(int64_t downloaded) const;
  void drawTerminal(const std::vector<std::string>& notes, const std::vector<std::string>& lines,
                    bool final);
  void drawLines(const std::vector<std::string>& notes, const std::vector<std::string>& lines);
  // The columns a live line may take.
  size_t terminalWidth() const;
  void write(const std::string& text);

  // Set at construction.
  ProgressBoard* const board_;
  const Mode mode_;
  const int fd_;
  const int64_t lineIntervalMs_;

  Mutex mutex_;
  // Guarded by mutex_.
  std::vector<std::string> pendingNotes_ GUARDED_BY(mutex_);
  bool stopRequested_ GUARDED_BY(mutex_) = false;

  // Touched only by the display thread (and by start/stop before and after it runs).
  std::thread thread_;
  int64_t startedAtMs_ = 0;
  std::vector<SpeedMeter> meters_;  // one per download, for its rate
  std::vector<int> seenStates_;
  size_t drawnLines_ = 0;  // lines of the live block now on the terminal
  bool announcedInterrupt_ = false;
};

}  // namespace zget
