// zget: the command-line downloader of libzephyl. It turns its command line into one batch of
// requests for a download manager, shows progress on standard error and reports every result.
// Only the library's public header (and the metrics library's) are used: zget is a host like
// any other.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "download_run.h"
#include "failure_text.h"
#include "guarded_run.h"
#include "input_list.h"
#include "interrupt_watcher.h"
#include "naming.h"
#include "options.h"
#include "pelvar/pelvar.h"
#include "platform.h"
#include "spider_run.h"
#include "storage_root.h"
#include "tool_setting.h"
#include "units.h"
#include "url_check.h"
#include "utf8_path.h"
#include "zephyl/zephyl.h"
#include "zephyl/zp_redaction.h"
#include "zephyl/zp_file_names.h"

namespace zget {
namespace {

constexpr int64_t kSpiderBlockSize = 16 * 1024;

void printError(const std::string& message) { std::fprintf(stderr, "zget: %s\n", message.c_str()); }

// mkdir -p; false with a message on stderr, hint (when not empty) after it. The walk stops at the
// path's root: a drive or a network share is never made (std::filesystem::create_directories
// would try "\\server"), so a share that is not there fails on its first directory, and the
// message names it.
bool ensureDirectory(const std::string& path, const std::string& hint = std::string()) {
  std::error_code error;
  const size_t rootLength = zpPathRootLength(path);
  std::vector<std::string> missing;
  for (std::string level = path;
       level.size() > rootLength && !std::filesystem::exists(pathFromUtf8(level), error);) {
    missing.push_back(level);
    const size_t separator = level.find_last_of("/\\");
    if (separator == std::string::npos) break;
    level.resize(separator);
  }
  error.clear();
  for (auto level = missing.rbegin(); level != missing.rend() && !error; ++level) {
    std::filesystem::create_directory(pathFromUtf8(*level), error);
  }
  if (!error && std::filesystem::is_directory(pathFromUtf8(path), error)) return true;
  const int code = error.value();
  if (code == EACCES || code == EPERM || code == EROFS || code == ENOSPC) {
    printError(storageFailureWords(code, path, std::string()) + hint);
  } else {
    printError("cannot create directory " + path + ": " +
               (error ? error.message() : std::string("a file is in the way")) + hint);
  }
  return false;
}

// -N: the modification time of the file at path as an HTTP date ("Sun, 06 Nov 1994 08:49:37
// GMT"), for If-Modified-Since; empty when there is no such file.
std::string httpDateOfFile(const std::string& path) {
  std::error_code error;
  const std::filesystem::path file = pathFromUtf8(path);
  if (!std::filesystem::is_regular_file(file, error)) return std::string();
  const auto written = std::filesystem::last_write_time(file, error);
  if (error) return std::string();
  // The file clock's epoch is not the system clock's in C++17: measured from now on both.
  const auto now = std::chrono::system_clock::now();
  const auto age = std::filesystem::file_time_type::clock::now() - written;
  // Rounded: the two clocks are read a moment apart, and a time set to a whole second (the
  // server's Last-Modified) must come back as that second.
  const auto writtenAt = std::chrono::round<std::chrono::seconds>(
      (now - std::chrono::duration_cast<std::chrono::system_clock::duration>(age))
          .time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(writtenAt.count());
  const std::tm* utc = std::gmtime(&seconds);  // main's thread only
  char text[64] = {};
  if (utc == nullptr || std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", utc) == 0) {
    return std::string();
  }
  return text;
}

// -c: the size of the regular file at path that a download continues; -1 when there is none.
int64_t partialFileSize(const std::string& path) {
  std::error_code error;
  const std::filesystem::path file = pathFromUtf8(path);
  if (!std::filesystem::is_regular_file(file, error)) return -1;
  const auto size = std::filesystem::file_size(file, error);
  return error ? -1 : static_cast<int64_t>(size);
}

// Whether a file can be made in dir, found out before anything is fetched by making (and
// removing) an empty one; false with a message on stderr. *ignoresCase: the probe's name in
// capitals names it too, so dir's file system ignores case.
bool ensureWritable(const std::string& dir, bool* ignoresCase) {
  const auto unique = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string name = ".zget-write-test-" + std::to_string(unique);
  const std::filesystem::path probe = pathFromUtf8(dir) / name;
  errno = 0;
  if (!std::ofstream(probe, std::ios::binary)) {
    printError(storageFailureWords(errno, dir, std::string()));
    return false;
  }
  std::error_code error;
  *ignoresCase =
      std::filesystem::exists(pathFromUtf8(dir) / pathFromUtf8(platform::caseFolded(name)), error);
  std::filesystem::remove(probe, error);
  return true;
}

// The command line's own paths: a name the system cannot hold (a device's, a character such as
// "|" on Windows) is refused before anything is fetched. Returns -1 to go on, or an exit status.
int checkGivenPaths(const ToolOptions& options) {
  const std::pair<const char*, const std::string*> given[] = {
      {"-o", &options.outputFile}, {"-d", &options.outputDir}, {"--cache-dir", &options.cacheDir}};
  for (const auto& [option, path] : given) {
    if (path->empty() || *path == "-") continue;
    const std::string fault = zpPathNameFault(*path);
    if (!fault.empty()) return usageError(std::string(option) + " " + *path + ": " + fault);
  }
  return -1;
}

// The jobs of the command line and the list, the later of two equal URLs dropped. Returns -1
// to go on, or an exit status.
int collectJobs(const ToolOptions& options, std::vector<DownloadJob>* jobs) {
  std::vector<DownloadJob> all;
  for (const std::string& url : options.urls) all.push_back(DownloadJob{url, "", "", ""});
  if (!options.inputFile.empty()) {
    std::string error;
    const int status = readInputList(options.inputFile, &all, &error);
    if (status == kExitUsage) return usageError(error);
    if (status != 0) {
      printError(error);
      return status;
    }
  }
  const int given = checkGivenPaths(options);
  if (given >= 0) return given;
  if (!options.outputFile.empty()) {
    if (all.size() != 1) return usageError("-o names the file of one download; give one URL");
    all[0].outName = options.outputFile;
  }
  // Checked before anything is fetched: a typo is a usage error, not a failed download.
  for (DownloadJob& job : all) {
    std::string reason;
    if (!checkUrl(job.url, &job.url, &reason)) return usageError(reason);
  }
  // Entries of one URL with other targets or checks are downloads of their own (the library
  // fetches the URL once for all of them); an entry repeated as it stands is one download.
  std::set<std::string> seen;
  for (DownloadJob& job : all) {
    if (job.checksum.empty()) job.checksum = options.checksum;
    const std::string key = job.url + '\n' + job.dir + '\n' + job.outName + '\n' + job.checksum;
    if (!seen.insert(key).second) {
      if (!options.quiet) {
        printError(zephyl::redactUrl(job.url) + " is listed twice; it is downloaded once");
      }
      continue;
    }
    jobs->push_back(job);
  }
  return -1;
}

// The directory of a target, made and probed once however many downloads go into it; false
// (with a message) when it cannot be used. *ignoresCase: its file system ignores case.
bool readyDirectory(const std::string& dir, std::map<std::string, bool>* checked,
                    bool* ignoresCase) {
  auto found = checked->find(dir);
  if (found == checked->end()) {
    bool folds = false;
    if (!ensureDirectory(dir) || !ensureWritable(dir, &folds)) return false;
    found = checked->emplace(dir, folds).first;
  }
  *ignoresCase = found->second;
  return true;
}

// Decides every download's target and creates the directories. Returns -1 to go on, or an
// exit status.
int planDownloads(const ToolOptions& options, const std::vector<DownloadJob>& jobs,
                  std::vector<PlannedDownload>* downloads) {
  NameBook names;
  std::map<std::string, bool> checkedDirs;
  downloads->reserve(jobs.size());
  // Made absolute once: each target below joins onto it, so no target asks for the current
  // directory again.
  const std::string outputDir = platform::absolutePath(options.outputDir);
  for (const DownloadJob& job : jobs) {
    PlannedDownload download;
    download.url = job.url;
    download.checksum = job.checksum;
    if (job.outName == "-") {
      download.displayName = fileNameFromUrl(job.url);
    } else {
      // A list's dir= and out= are checked to stay inside -d; -o is the user's own word and may
      // name any place, as with wget and curl.
      const std::string dir = joinPath(outputDir, job.dir);
      const std::string name = job.outName.empty() ? fileNameFromUrl(job.url) : job.outName;
      const std::string wanted = platform::absolutePath(joinPath(dir, name));
      std::error_code error;
      if (options.noClobber && std::filesystem::exists(pathFromUtf8(wanted), error)) {
        if (!options.quiet) {
          printError(platform::shownPath(wanted) + " exists; not downloading it (--no-clobber)");
        }
        continue;
      }
      // The directory as text: a "\\?\" path keeps its "\" separators.
      bool ignoresCase = false;
      if (!readyDirectory(wanted.substr(0, wanted.find_last_of("/\\")), &checkedDirs,
                          &ignoresCase)) {
        return kExitFailure;
      }
      std::string caseTwin;
      download.savePath = names.claim(wanted, ignoresCase, &caseTwin);
      if (!caseTwin.empty() && !options.quiet) {
        printError(platform::shownPath(wanted) + " and " + platform::shownPath(caseTwin) +
                   " differ only in case, which is one file here; saving as " +
                   platform::shownPath(download.savePath));
      }
      if (options.continuePartial && download.savePath == wanted) {
        download.continueFrom = partialFileSize(wanted);
        if (download.continueFrom > 0 && !download.checksum.empty()) {
          return usageError("cannot check " + wanted +
                            " with -c: a checksum covers the whole file, and -c fetches only its "
                            "rest; remove the file or drop -c");
        }
        // An empty file is filled only when nothing needs checking first: a checked download
        // goes the usual way, and reaches the target only once it passed.
        if (download.continueFrom == 0 && !download.checksum.empty()) download.continueFrom = -1;
      }
      // A file being continued is not a copy to compare with the server's.
      if (options.timestamping && download.continueFrom < 0) {
        download.ifModifiedSince = httpDateOfFile(wanted);
      }
      const std::filesystem::path target = pathFromUtf8(download.savePath);
      download.displayName = utf8FromPath(target.filename());
      // Without --allow-overwrite the download takes the next free name instead.
      if (options.allowOverwrite && std::filesystem::is_directory(target, error)) {
        // Found now rather than after the whole download, when the file cannot be put there.
        printError("cannot save " + zephyl::redactUrl(job.url) + " as " +
                   platform::shownPath(download.savePath) + ": it is a directory");
        return kExitFailure;
      }
    }
    downloads->push_back(download);
  }
  return -1;
}

// --show-progress: what is stored of each URL, on the tool's standard output.
int showProgress(Zephyl& manager, const std::vector<std::string>& urls, int dataFd) {
  int status = kExitSuccess;
  for (const std::string& url : urls) {
    int64_t downloaded = 0;
    int64_t total = 0;
    std::string line = zephyl::redactUrl(url) + ": ";
    if (!manager.fetchProgress(url, &downloaded, &total)) {
      line += "nothing stored";
      status = kExitFailure;
    } else {
      line += formatBytes(downloaded) + " of " + formatBytes(total) + " stored";
      if (total > 0) line += " (" + std::to_string(downloaded * 100 / total) + "%)";
      line += ", " + std::to_string(downloaded) + " of " + std::to_string(total) + " bytes";
    }
    line += "\n";
    (void)writeAll(dataFd, line.data(), line.size());
  }
  return status;
}

// The storage root, made when missing (private to the user, as the library makes its own
// storage directories); empty, with a message on stderr, when it cannot be used.
std::string prepareCacheRoot(const ToolOptions& options) {
  const std::string cacheRoot =
      platform::absolutePath(options.cacheDir.empty() ? cacheRootDir() : options.cacheDir);
  if (cacheRoot.empty()) {
    printError("no cache directory: set XDG_CACHE_HOME or HOME, or use --cache-dir");
    return std::string();
  }
  // The default lies in the user's cache directory: a home directory that is not there (a
  // service account, a sandbox) is not made up here; the user names another place instead.
  std::error_code missing;
  const std::filesystem::path base = pathFromUtf8(cacheRoot).parent_path();
  if (options.cacheDir.empty() &&
      !std::filesystem::is_directory(base.has_parent_path() ? base.parent_path() : base, missing)) {
    printError("no cache directory: " + utf8FromPath(base.parent_path()) +
               " does not exist; use --cache-dir DIR to keep unfinished downloads elsewhere");
    return std::string();
  }
  // Checked before anything uses the root: the library empties its temp directory.
  std::string foreign;
  if (!isOwnStorageRoot(cacheRoot, &foreign)) {
    printError(foreign);
    return std::string();
  }
  std::error_code error;
  const bool newRoot =
      !std::filesystem::exists(std::filesystem::symlink_status(pathFromUtf8(cacheRoot), error));
  // The default lies below the home directory, which may not exist or not be writable (a
  // service account, a sandbox): the user then needs to name another place.
  const std::string hint = options.cacheDir.empty()
                               ? "; use --cache-dir DIR to keep unfinished downloads elsewhere"
                               : std::string();
  if (!ensureDirectory(cacheRoot, hint)) return std::string();
  if (newRoot) {
    std::filesystem::permissions(pathFromUtf8(cacheRoot), std::filesystem::perms::owner_all, error);
  }
  return cacheRoot;
}

// The library's log lines go to standard error, through the library's log callback, when a log
// level is asked for, and nowhere otherwise: standard output carries only data ("-o -"), MD5
// lines and progress reports.
void routeLibraryLog(const ToolOptions& options) {
  const bool shown = options.logLevel.has_value();
  Zephyl::setLogCallback([shown](ZPLogLevel level, const std::string& line) {
    if (!shown) return;
    static const char* const kNames[] = {"verbose", "debug", "info", "warn", "error", "none"};
    const char* name = level >= Verbose && level <= None ? kNames[level] : "?";
    const std::string text = "[Zephyl][" + std::string(name) + "] " + line + "\n";
    (void)writeAll(STDERR_FILENO, text.data(), text.size());
  });
  if (shown) Zephyl::setLogLevel(*options.logLevel);
}

// The manager's part of a run: clearing the cache, reporting progress or downloading.
int runManager(const ToolOptions& options, const std::string& cacheRoot,
               const std::vector<PlannedDownload>& downloads, int dataFd) {
  ZPSetting setting = makeSetting(options, cacheRoot);
  // Downloads to standard output follow one another there: with several, one runs at a time.
  const auto toStdout = std::count_if(downloads.begin(), downloads.end(),
                                      [](const PlannedDownload& d) { return d.savePath.empty(); });
  if (toStdout > 1) setting.taskThreadNum = 1;
  if (options.spider) {
    // The first request of a download asks for about a block: a small one keeps what a check
    // transfers small, and one transfer per URL is all a check needs.
    setting.blockSize = kSpiderBlockSize;
    setting.threadNum = 1;
  }
  Zephyl manager(setting);
  if (options.clearCache) {
    manager.removeAllCache();
    if (!options.quiet) {
      printError("removed the unfinished downloads in " + platform::shownPath(cacheRoot));
    }
  }
  if (!options.showProgress.empty()) return showProgress(manager, options.showProgress, dataFd);
  if (downloads.empty()) return kExitSuccess;
  // Another zget on the same cache downloading the same URL is waited for by the library,
  // which then resumes from what that one stored, or finds it delivered.
  RunContext context;
  context.options = &options;
  context.manager = &manager;
  context.cacheRoot = cacheRoot;
  context.dataFd = dataFd;
  return options.spider ? runSpider(context, downloads) : runDownloads(context, downloads);
}

// --spider: every URL checked, none given a target.
std::vector<PlannedDownload> spiderDownloads(const std::vector<DownloadJob>& jobs) {
  std::vector<PlannedDownload> downloads;
  for (const DownloadJob& job : jobs) {
    PlannedDownload download;
    download.url = job.url;
    download.displayName = fileNameFromUrl(job.url);
    downloads.push_back(download);
  }
  return downloads;
}

int run(const ToolOptions& options) {
  // Binary data on a terminal garbles it and is seldom meant: curl refuses it too.
  if (options.outputFile == "-" && !options.spider && !options.outputToTerminal &&
      platform::isTerminal(STDOUT_FILENO)) {
    return usageError(
        "-o - would write the download onto the terminal; redirect standard "
        "output or add --output-to-terminal");
  }
  std::vector<DownloadJob> jobs;
  int status = collectJobs(options, &jobs);
  if (status >= 0) return status;
  const std::string cacheRoot = prepareCacheRoot(options);
  if (cacheRoot.empty()) return kExitFailure;
  std::vector<PlannedDownload> downloads;
  if (options.spider) {
    downloads = spiderDownloads(jobs);
  } else {
    status = planDownloads(options, jobs, &downloads);
    if (status >= 0) return status;
  }
  // Planned: the jobs are not read again, and a long list should not be held twice.
  std::vector<DownloadJob>().swap(jobs);

  if (!options.metricsFile.empty() &&
      !std::ofstream(pathFromUtf8(options.metricsFile), std::ios::app)) {
    printError("cannot write the metrics file " + options.metricsFile);
    return kExitFailure;
  }
  if (!Pelvar_Init(PelvarConfig{options.metricsFile})) {
    printError("cannot start the metrics library");
    return kExitFailure;
  }
  platform::prepareStandardStreams();
  routeLibraryLog(options);
  status = runManager(options, cacheRoot, downloads, STDOUT_FILENO);
  (void)Pelvar_Shutdown();
  return status;
}

}  // namespace
}  // namespace zget

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask (see InterruptWatcher).
  zget::InterruptWatcher::blockSignals();
  zget::platform::useUtf8Console();
  zget::ToolOptions options;
  const int status = zget::runGuarded("reading the command line", zget::kExitUsage, [&] {
    return zget::parseOptions(zget::platform::commandLineArguments(argc, argv), &options);
  });
  if (status >= 0) return status;
  return zget::runGuarded("downloading", zget::kExitFailure, [&] { return zget::run(options); });
}
