#include "guarded_run.h"

#include <cstdio>
#include <exception>

namespace zget {
namespace {

// Allocates nothing: the exception may be std::bad_alloc.
int report(const std::string& activity, const char* reason, int failureStatus) {
  std::fprintf(stderr, "zget: %s failed: %s\n", activity.c_str(), reason);
  std::fflush(stderr);
  return failureStatus;
}

}  // namespace

int runGuarded(const std::string& activity, int failureStatus, const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    return report(activity, error.what(), failureStatus);
  } catch (...) {
    return report(activity, "an exception of an unknown kind", failureStatus);
  }
}

}  // namespace zget
