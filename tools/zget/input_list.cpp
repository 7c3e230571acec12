#include "input_list.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "naming.h"
#include "options.h"
#include "utf8_path.h"

namespace zget {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Whether text is well-formed UTF-8: no stray or missing continuation bytes, no overlong forms,
// no surrogates, nothing beyond U+10FFFF.
bool isUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 1;
    uint32_t value = lead;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07U;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0FU;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1FU;
    } else if (lead >= 0x80) {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3FU);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// Applies one indented "key=value" line to job; false with *error when it makes no sense.
bool applyOption(const std::string& option, DownloadJob* job, std::string* error) {
  const size_t equals = option.find('=');
  const std::string key = option.substr(0, equals);
  const std::string value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
  if (equals == std::string::npos || value.empty()) {
    *error = "expected key=value, got \"" + option + "\"";
    return false;
  }
  std::string why;
  if ((key == "out" || key == "dir") && !isUtf8(value)) {
    // A name the file system would get with U+FFFD in place of the bytes it cannot read.
    *error = key + " is not UTF-8 text; save the list as UTF-8";
    return false;
  }
  if ((key == "out" || key == "dir") && !staysInside(value, key == "out", &why)) {
    // A list may come from anywhere: its names never leave the output directory.
    *error = key + " must stay inside the output directory (-d), got \"" + value + "\": " + why;
    return false;
  }
  // Its names are mended as a URL's are: "out=nul.txt" is "_nul.txt", never the device.
  if (key == "out") {
    job->outName = safeRelativePath(value, true);
  } else if (key == "dir") {
    job->dir = safeRelativePath(value, false);
  } else if (key == "checksum") {
    if (!parseChecksumOption(value, &job->checksum)) {
      *error = "checksum must be sha-256=<64 hexadecimal digits> or md5=<32 hexadecimal digits>, "
               "got \"" + value + "\"";
      return false;
    }
  } else {
    *error = "unknown option \"" + key + "\" (out, dir and checksum are known)";
    return false;
  }
  return true;
}

int parseList(std::istream& in, const std::string& path, std::vector<DownloadJob>* jobs,
              std::string* error) {
  std::vector<DownloadJob> parsed;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    std::string reason;
    if (isBlank(line[0])) {
      if (parsed.empty()) {
        reason = "an option line needs a URL line above it";
      } else if (applyOption(text, &parsed.back(), &reason)) {
        continue;
      }
    } else if (text.find_first_of(" \t") != std::string::npos) {
      reason = "one URL a line, without blanks";
    } else {
      DownloadJob job;
      job.url = text;
      parsed.push_back(job);
      continue;
    }
    *error = path;
    *error += ", line " + std::to_string(number) + ": ";
    *error += reason;
    return kExitUsage;
  }
  jobs->insert(jobs->end(), parsed.begin(), parsed.end());
  return 0;
}

}  // namespace

bool parseChecksumOption(const std::string& value, std::string* checksum) {
  const size_t equals = value.find('=');
  if (equals == std::string::npos) return false;
  std::string type = value.substr(0, equals);
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string hex = value.substr(equals + 1);
  size_t digits = 0;
  if (type == "sha-256" || type == "sha256") {
    type = "sha256";
    digits = 64;
  } else if (type == "md5") {
    digits = 32;
  } else {
    return false;
  }
  if (hex.size() != digits) return false;
  for (char& c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  *checksum = type + ":" + hex;
  return true;
}

bool isMd5Hex(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

int readInputList(const std::string& path, std::vector<DownloadJob>* jobs, std::string* error) {
  const std::string shown = path == "-" ? "standard input" : path;
  // Binary: the bytes as they are; CR LF line ends are taken apart line by line.
  std::ifstream file;
  if (path != "-") {
    const std::filesystem::path place = pathFromUtf8(path);
    std::error_code failure;
    // A directory opens for reading on POSIX systems, and then reads as nothing.
    if (std::filesystem::is_directory(place, failure)) {
      *error = "cannot read the list " + path + ": it is a directory";
      return kExitFailure;
    }
    file.open(place, std::ios::binary);
    if (!file) {
      *error = "cannot read the list " + path + ": " + std::generic_category().message(errno);
      return kExitFailure;
    }
  }
  std::istream& in = path == "-" ? std::cin : file;
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // Editors on Windows (Notepad among them) start UTF-8 with a byte-order mark, and save
  // "Unicode" as UTF-16.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text.erase(0, 3);
  } else if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
    *error = shown + " is UTF-16 text; save the list as UTF-8";
    return kExitUsage;
  }
  std::istringstream lines(text);
  return parseList(lines, shown, jobs, error);
}

}  // namespace zget
