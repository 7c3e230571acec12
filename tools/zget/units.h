// Parsing and printing of the quantities zget deals in: byte counts with binary suffixes,
// durations, speeds and remaining times. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace zget {

// "1048576", "512K", "2M", "1G" (binary multiples; a trailing "B" or "iB" is accepted, case is
// ignored). Returns false for anything else, for negative values and on overflow.
[[nodiscard]] bool parseByteSize(const std::string& text, int64_t* bytes);

// "30" or "30s" (seconds, fractions allowed), "500ms", "2m", "1h", "7d". Returns false for
// anything else, for negative values and on overflow.
[[nodiscard]] bool parseDurationMs(const std::string& text, int64_t* milliseconds);

// 1536 -> "1.5 KiB", 10 -> "10 B"; three significant digits at most.
std::string formatBytes(int64_t bytes);
// Bytes per second as formatBytes + "/s".
std::string formatSpeed(double bytesPerSecond);
// Seconds as "0:07", "12:34" or "1:02:03"; negative or absurd values give "--:--".
std::string formatDuration(double seconds);
// How long something took: "0.01s", "2.35s", "12.3s" under a minute (a short download is not
// "0:01"), else as formatDuration.
std::string formatElapsed(double seconds);

}  // namespace zget
