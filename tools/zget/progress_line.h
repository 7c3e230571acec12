// The line of one download in the progress display, fitted to a width: the name is shortened
// first (down to a few columns), then figures are dropped, least needed first: the total, the
// percentage's bytes, the time left, the rate. Pure function; thread-safe.
#pragma once

#include <cstddef>
#include <string>

namespace zget {

// The figures of one download; empty ones are not shown.
struct LineFigures {
  std::string done;     // bytes fetched so far: "2.63 MiB"
  std::string total;    // the length: "300 MiB"; empty when unknown
  std::string percent;  // "1%"
  std::string rate;     // "1.42 MiB/s"
  std::string left;     // "1:03 left"
};

// The narrowest a name is shortened to before figures go.
inline constexpr size_t kMinNameColumns = 8;

// "  NAME  FIGURES" in at most width display columns.
std::string composeDownloadLine(const std::string& name, const LineFigures& figures, size_t width);

}  // namespace zget
