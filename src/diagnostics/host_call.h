// The one door through which the library calls host code: the callbacks of requests and batches.
// Whatever a callback throws stops here; it is logged at Error with the callback's name and
// otherwise ignored, so no state of the library depends on a callback returning normally.
// Thread-safe; callers hold no library lock while host code runs.
#pragma once

#include <exception>
#include <utility>

namespace zephyl {

// Logs "<name> threw: <what>" at Error (what may be null for an exception of unknown type).
// Never throws.
void logHostThrow(const char* name, const char* what) noexcept;

// Calls callback(args...) when callback is set; name is the callback's name for the log
// ("onComplete", "onBatchComplete", ...). Returns normally whatever the callback does, short of
// ending the process.
template <typename Callback, typename... Args>
void callHost(const char* name, const Callback& callback, Args&&... args) noexcept {
  if (!callback) return;
  try {
    callback(std::forward<Args>(args)...);
  } catch (const std::exception& error) {
    logHostThrow(name, error.what());
  } catch (...) {
    logHostThrow(name, nullptr);
  }
}

}  // namespace zephyl
