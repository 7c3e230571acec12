#include "units.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace zget {
namespace {

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A non-negative decimal number with an optional fraction; the rest of the text goes to *unit.
bool splitNumber(const std::string& text, double* value, std::string* unit) {
  size_t end = 0;
  bool digits = false;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
    ++end;
    digits = true;
  }
  if (end < text.size() && text[end] == '.') {
    ++end;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
      ++end;
      digits = true;
    }
  }
  if (!digits) return false;
  *value = std::strtod(text.substr(0, end).c_str(), nullptr);
  *unit = lowercase(text.substr(end));
  return std::isfinite(*value);
}

bool scale(double value, double factor, int64_t* result) {
  const double scaled = std::floor(value * factor + 0.5);
  // 2^63 is exactly representable; anything at or above it does not fit.
  if (!(scaled >= 0) || scaled >= 9223372036854775808.0) return false;
  *result = static_cast<int64_t>(scaled);
  return true;
}

}  // namespace

bool parseByteSize(const std::string& text, int64_t* bytes) {
  double value = 0;
  std::string unit;
  if (!splitNumber(text, &value, &unit)) return false;
  if (endsWith(unit, "ib")) {
    unit.resize(unit.size() - 2);
    if (unit.empty()) return false;  // "iB" alone names no multiple
  } else if (endsWith(unit, "b")) {
    unit.resize(unit.size() - 1);
  }
  double factor = 1;
  if (unit == "k") {
    factor = 1024.0;
  } else if (unit == "m") {
    factor = 1024.0 * 1024;
  } else if (unit == "g") {
    factor = 1024.0 * 1024 * 1024;
  } else if (unit == "t") {
    factor = 1024.0 * 1024 * 1024 * 1024;
  } else if (!unit.empty()) {
    return false;
  }
  return scale(value, factor, bytes);
}

bool parseDurationMs(const std::string& text, int64_t* milliseconds) {
  double value = 0;
  std::string unit;
  if (!splitNumber(text, &value, &unit)) return false;
  double factor = 0;
  if (unit.empty() || unit == "s") {
    factor = 1000;
  } else if (unit == "ms") {
    factor = 1;
  } else if (unit == "m" || unit == "min") {
    factor = 60.0 * 1000;
  } else if (unit == "h") {
    factor = 3600.0 * 1000;
  } else if (unit == "d") {
    factor = 86400.0 * 1000;
  } else {
    return false;
  }
  return scale(value, factor, milliseconds);
}

std::string formatBytes(int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 0) bytes = 0;
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (value < 10) {
    std::snprintf(text, sizeof text, "%.2f %s", std::floor(value * 100) / 100, kUnits[unit]);
  } else if (value < 100) {
    std::snprintf(text, sizeof text, "%.1f %s", std::floor(value * 10) / 10, kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.0f %s", std::floor(value), kUnits[unit]);
  }
  return text;
}

std::string formatSpeed(double bytesPerSecond) {
  if (!(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond)) return "0 B/s";
  if (bytesPerSecond > static_cast<double>(std::numeric_limits<int64_t>::max())) {
    return formatBytes(std::numeric_limits<int64_t>::max()) + "/s";
  }
  return formatBytes(static_cast<int64_t>(bytesPerSecond)) + "/s";
}

std::string formatDuration(double seconds) {
  // Beyond 99 hours an estimate says nothing useful.
  if (!(seconds >= 0) || seconds > 99 * 3600.0) return "--:--";
  const int64_t total = static_cast<int64_t>(std::ceil(seconds));
  const int64_t hours = total / 3600;
  const int64_t minutes = total / 60 % 60;
  const int64_t secs = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(secs));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(minutes),
                  static_cast<long long>(secs));
  }
  return text;
}

std::string formatElapsed(double seconds) {
  if (!(seconds >= 0) || seconds >= 60) return formatDuration(seconds);
  char text[32];
  std::snprintf(text, sizeof text, seconds < 10 ? "%.2fs" : "%.1fs", seconds);
  return text;
}

}  // namespace zget
