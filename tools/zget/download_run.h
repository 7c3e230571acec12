// One run of downloads: the batch handed to the library, the progress display and the Ctrl-C
// watcher around it, and the report of every result (files, standard output, MD5 checks,
// failures in words). Called once, from main's thread.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "zephyl/zephyl.h"

namespace zget {

// One download with everything decided: where it goes and what it must hash to.
struct PlannedDownload {
  std::string url;
  std::string savePath;     // absolute; empty for standard output
  std::string displayName;  // the file name shown in the progress display
  std::string checksum;     // the library's form, checked by it before delivery; empty: none
  // -N: the HTTP date of the file at savePath, sent as If-Modified-Since; the download then
  // replaces that file. Empty: no such file, or no -N.
  std::string ifModifiedSince;
  // -c: the size of the partial file at savePath, continued in place (0: an empty one, filled);
  // -1: none to continue.
  int64_t continueFrom = -1;
};

struct RunContext {
  const ToolOptions* options = nullptr;
  Zephyl* manager = nullptr;
  std::string cacheRoot;  // for the resume hint
  int dataFd = 1;         // the tool's standard output (the library's log goes to stderr)
};

// Runs the downloads as one batch and reports; returns the exit status: kExitSuccess,
// kExitFailure, or 128 + the signal number when a signal stopped downloads.
int runDownloads(const RunContext& context, const std::vector<PlannedDownload>& downloads);

// -S: the status and header lines of response, indented as wget prints them, on standard error.
void printAnswer(const ZPResponse& response);

// Writes all of data to fd; false with errno set when it cannot.
bool writeAll(int fd, const void* data, size_t size);

}  // namespace zget
