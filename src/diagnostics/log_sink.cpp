#include "diagnostics/log_sink.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/held_locks.h"
#include "diagnostics/log.h"

namespace zephyl {
namespace {

// One callback the host set. calls grows only under SinkState::mutex, so that a replacement,
// which swaps the callback under it, sees every call that may still use the old one.
struct Sink {
  explicit Sink(LogCallback given) : callback(std::move(given)) {}
  const LogCallback callback;
  mutable std::atomic<int> calls{0};  // threads inside callback now
};

struct SinkState {
  Mutex mutex;
  ConditionVariable idle;                           // with mutex: a call of a callback ended
  std::shared_ptr<Sink> current GUARDED_BY(mutex);  // null: standard output
};

// Never destroyed: threads may still log while the process ends.
SinkState& sinkState() {
  static SinkState* const state = new SinkState();
  return *state;
}

// Touched only by their own thread.
thread_local std::vector<FinishedLogLine> deferredLines;  // logged while locks were held
thread_local const Sink* sinkInCall = nullptr;            // the callback this thread runs

// "[Zephyl][2024-03-05 14:07:09] ": local time of day in whole seconds.
void appendPrefix(std::string& text, std::time_t at) {
  std::tm local{};
  localtime_r(&at, &local);  // thread-safe variant; the output is the same as localtime's
  char stamp[64];
  const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %X", &local);
  text.append("[Zephyl][");
  text.append(stamp, length);
  text.append("] ");
}

void writeToStdout(const FinishedLogLine& line) {
  std::string text;
  if (line.prefixed) appendPrefix(text, line.openedAt);
  text.append(line.text);
  text.push_back('\n');
  // One write under the stream's lock, so lines of different threads never mix.
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The current callback, counted as in use until leaveSink; null when there is none.
std::shared_ptr<Sink> enterSink() {
  SinkState& state = sinkState();
  MutexLock lock(state.mutex);
  if (state.current) ++state.current->calls;
  return state.current;
}

void leaveSink(const Sink& sink) {
  SinkState& state = sinkState();
  {
    MutexLock lock(state.mutex);
    --sink.calls;
  }
  state.idle.notifyAll();
}

void callSink(const Sink& sink, const FinishedLogLine& line) {
  sinkInCall = &sink;
  try {
    sink.callback(static_cast<ZPLogLevel>(line.level), line.text);
  } catch (...) {
    // Contained: the host's log failed to take one line; there is nowhere else to tell it.
  }
  sinkInCall = nullptr;
  leaveSink(sink);
}

}  // namespace

void emitLogLine(FinishedLogLine&& line) noexcept {
  try {
    if (sinkInCall != nullptr) return;  // caused by the callback itself: no recursion
    const std::shared_ptr<Sink> sink = enterSink();
    if (!sink) {
      writeToStdout(line);
    } else if (locksHeldByThread > 0) {
      // The callback may call into the library and need a lock this thread holds: the line
      // waits until the thread lets its last one go (noteLockReleased).
      leaveSink(*sink);
      deferredLines.push_back(std::move(line));
      logLinesDeferred = true;
    } else {
      callSink(*sink, line);
    }
  } catch (...) {
    // Out of memory while handling the line: the line is lost, nothing else.
  }
}

void deliverDeferredLogLines() noexcept {
  logLinesDeferred = false;
  std::vector<FinishedLogLine> lines;
  lines.swap(deferredLines);
  for (FinishedLogLine& line : lines) emitLogLine(std::move(line));
}

void setLogCallback(LogCallback callback) {
  std::shared_ptr<Sink> fresh;
  if (callback) fresh = std::make_shared<Sink>(std::move(callback));
  SinkState& state = sinkState();
  std::shared_ptr<Sink> replaced;
  MutexLock lock(state.mutex);
  replaced = std::exchange(state.current, std::move(fresh));
  if (!replaced) return;
  // The host may free what the old callback uses once this returns: wait for the other threads
  // still inside it (not for this one, when the callback itself replaces it).
  const int ownCall = sinkInCall == replaced.get() ? 1 : 0;
  while (replaced->calls.load() > ownCall) state.idle.wait(state.mutex);
}

}  // namespace zephyl
