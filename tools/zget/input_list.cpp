#include "input_list.h"

#include <cctype>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <system_error>

#include "naming.h"
#include "options.h"

namespace zget {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

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
  if ((key == "out" || key == "dir") && !staysInside(value, key == "out", &why)) {
    // A list may come from anywhere: its names never leave the output directory.
    *error = key + " must stay inside the output directory (-d), got \"" + value + "\": " + why;
    return false;
  }
  if (key == "out") {
    job->outName = value;
  } else if (key == "dir") {
    job->dir = value;
  } else if (key == "checksum") {
    std::string hex = value.rfind("md5=", 0) == 0 ? value.substr(4) : std::string();
    if (!isMd5Hex(hex)) {
      *error = "checksum must be md5=<32 hexadecimal digits>, got \"" + value + "\"";
      return false;
    }
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    job->expectedMd5 = hex;
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
  if (in.bad()) {
    *error = "cannot read the list " + path;
    return kExitFailure;
  }
  jobs->insert(jobs->end(), parsed.begin(), parsed.end());
  return 0;
}

}  // namespace

bool isMd5Hex(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

int readInputList(const std::string& path, std::vector<DownloadJob>* jobs, std::string* error) {
  if (path == "-") return parseList(std::cin, "standard input", jobs, error);
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read the list " + path + ": " + std::generic_category().message(errno);
    return kExitFailure;
  }
  return parseList(file, path, jobs, error);
}

}  // namespace zget
