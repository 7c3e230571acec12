// The one place where whatever zget's main thread throws ends up: a message saying what failed
// and an exit status, instead of std::terminate (status 3 on Windows, SIGABRT elsewhere, and no
// word of what failed). One thread (main's).
#pragma once

#include <functional>
#include <string>

namespace zget {

// Returns what body returns. When body throws, prints "zget: <activity> failed: <what the
// exception says>" on standard error and returns failureStatus.
int runGuarded(const std::string& activity, int failureStatus, const std::function<int()>& body);

}  // namespace zget
