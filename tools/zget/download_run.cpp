#include "download_run.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "continued_file.h"
#include "download_feed.h"
#include "failure_text.h"
#include "interrupt_watcher.h"
#include "naming.h"
#include "pelvar/pelvar.h"
#include "platform.h"
#include "progress_board.h"
#include "progress_display.h"
#include "units.h"
#include "utf8_path.h"
#include "zephyl/zp_redaction.h"

namespace zget {
namespace {

// Standard output of the downloads that stream to it. Their onData runs on the library's
// transfer threads, one call at a time per download; the downloads to standard output run one
// after another (see main), so their bytes follow one another.
struct StdoutStream {
  int fd = 1;
  Zephyl* manager = nullptr;
  DownloadFeed* feed = nullptr;  // set before the first download is handed over
  std::atomic<bool> readerGone{false};  // the pipe's reader closed it (EPIPE)
  std::atomic<int> writeError{0};       // errno of another failed write; 0: none

  bool write(const char* data, size_t size) {
    if (readerGone.load() || writeError.load() != 0) return false;
    if (writeAll(fd, data, size)) return true;
    if (errno == EPIPE) {
      // Like curl piped into head: nobody reads any more, so nothing else is worth fetching.
      readerGone = true;
      // The downloads not handed over yet are not started either.
      if (feed != nullptr) feed->stop();
      manager->cancelAll();
    } else {
      writeError = errno != 0 ? errno : EIO;
    }
    return false;
  }
};

// Whether the downloads to standard output stream there as they arrive. An MD5 to print or a
// checksum to check needs the whole body first (nothing unchecked may reach standard output):
// then they all keep the buffered way, which writes each one when it is complete and checked,
// so that their order on standard output stays the order of the downloads.
bool streamsToStdout(const std::vector<PlannedDownload>& downloads, const ToolOptions& options) {
  if (options.printMd5) return false;
  for (const PlannedDownload& download : downloads) {
    if (download.savePath.empty() && !download.checksum.empty()) return false;
  }
  return true;
}

// What became of each download: written by its completion callback (one library thread for
// each index), read after the batch returned.
struct Outcomes {
  const std::vector<PlannedDownload>* downloads = nullptr;
  const ToolOptions* options = nullptr;
  std::vector<std::string> paths;  // where each result went; empty for standard output
  // The name each result was meant to have: its target, or the server's suggestion.
  std::vector<std::string> wanted;
  // -c: the partial file each download continues (null: none), and what became of it.
  std::vector<std::unique_ptr<ContinuedFile>> continued;
  std::vector<ContinuedFile::Verdict> verdicts;
  // The response of each finished download that the report reads; null for a file delivered
  // with nothing more to report (see keptResponse). Every download finishes before the report.
  std::vector<std::unique_ptr<ZPResponse>> responses;
};

// -N and a 304 answer to the If-Modified-Since: the file at the target is as new as the
// server's.
bool isUpToDate(const PlannedDownload& download, const ZPResponse& response) {
  return !download.ifModifiedSince.empty() && !response.isSuccess() && response.httpCode == 304;
}

// The path of a delivered file, after --content-disposition moved it to the name the server
// suggests (in the same directory; an existing file keeps its place unless --allow-overwrite,
// and the result takes the first free "name(n).ext"). Empty for standard output or a failure.
// *wanted: the name the result was meant to have (the suggestion once it was taken).
std::string placeResult(const PlannedDownload& download, const ZPResponse& response,
                        const ToolOptions& options, std::string* wanted) {
  *wanted = download.savePath;
  if (!response.isSuccess() || download.savePath.empty()) return std::string();
  const std::string delivered = response.getFile();
  if (!options.contentDisposition) return delivered;
  std::string suggested;
  for (const auto& [name, value] : response.headers) {
    if (name == "content-disposition") suggested = fileNameFromContentDisposition(value);
  }
  const std::filesystem::path from = pathFromUtf8(delivered);
  if (suggested.empty() || pathFromUtf8(suggested) == from.filename()) return delivered;
  // Joined as text: a "\\?\" path keeps its "\" separators.
  const std::string named = delivered.substr(0, delivered.find_last_of("/\\") + 1) + suggested;
  std::error_code error;
  std::string target = named;
  for (int n = 1; !options.allowOverwrite && std::filesystem::exists(pathFromUtf8(target), error);
       ++n) {
    target = numberedName(named, n);
  }
  std::filesystem::rename(from, pathFromUtf8(target), error);
  if (error) return delivered;
  *wanted = named;
  return target;
}

// Where one download's bytes go: the partial file it continues (-c), standard output as they
// arrive, memory (standard output once checked), or its file through the cache.
void chooseOutput(const PlannedDownload& download, ContinuedFile* continued, bool streaming,
                  StdoutStream* stream, ZPRequest* request) {
  if (continued != nullptr) {
    // The rest of the file at the target, streamed into it after the bytes it ends with.
    request->outputType = ZPRequest::OUTPUT_STREAM;
    request->streamOffset = continued->streamOffset();
    request->onData = [continued](const ZPRequest&, const char* data, size_t size) {
      return continued->write(data, size);
    };
  } else if (download.savePath.empty() && streaming) {
    request->outputType = ZPRequest::OUTPUT_STREAM;
    request->onData = [stream](const ZPRequest&, const char* data, size_t size) {
      return stream->write(data, size);
    };
  } else if (download.savePath.empty()) {
    request->outputType = ZPRequest::OUTPUT_MEMORY;
  } else {
    request->outputType = ZPRequest::OUTPUT_CHUNK_FILE;
    request->savePath = download.savePath;
  }
}

// The request of download index, its callbacks reporting to the board and the outcomes.
ZPRequest buildRequest(size_t index, const ToolOptions& options, bool streaming,
                       ProgressBoard* board, StdoutStream* stream, Outcomes* outcomes) {
  const PlannedDownload& download = (*outcomes->downloads)[index];
  ZPRequest request(download.url);
  chooseOutput(download, outcomes->continued[index].get(), streaming, stream, &request);
  // An existing file stays; the download takes the first free "name(n).ext". Under -N a newer
  // copy on the server replaces it.
  request.renameIfExists = options.allowOverwrite || !download.ifModifiedSince.empty() ? 0 : 1;
  if (!download.ifModifiedSince.empty()) {
    request.headers.emplace_back("If-Modified-Since", download.ifModifiedSince);
  }
  request.scene = "zget";
  request.userName = options.user;
  request.password = options.password;
  request.maxBytesPerSecond = options.limitRate;
  request.checksum = download.checksum;
  // The board outlives the requests: the feed returns only once every one has completed.
  const int at = static_cast<int>(index);
  request.onStart = [board, at](const ZPRequest&) { board->started(at); };
  request.onProgress = [board, at](const ZPRequest&, int64_t downloaded, int64_t total) {
    board->progress(at, downloaded, total);  // atomics only
  };
  return request;
}

// What a finished download leaves for the report after the run: its response, without the
// answer's header lines unless the report reads them (-S, or a 416 that names the length). A
// file delivered with nothing more to say about it (no -S, no --md5) keeps nothing: its success
// is all the report reads.
std::unique_ptr<ZPResponse> keptResponse(const PlannedDownload& download,
                                         const ZPResponse& response, const ToolOptions& options) {
  if (response.isSuccess() && !download.savePath.empty() && download.continueFrom < 0 &&
      !options.serverResponse && !options.printMd5) {
    return nullptr;
  }
  auto kept = std::make_unique<ZPResponse>(response);
  if (!options.serverResponse && kept->httpCode != 416) {
    std::vector<std::pair<std::string, std::string>>().swap(kept->headers);
  }
  return kept;
}

// Download index finished with response: its file placed, its verdict, its slot on the board.
// On the library's thread that completed it (or run's thread for one never handed over).
void finishDownload(size_t at, const ZPResponse& response, ProgressBoard* board,
                    StdoutStream* stream, Outcomes* outcomes) {
  if (at >= outcomes->paths.size()) return;
  const PlannedDownload& download = (*outcomes->downloads)[at];
  // Before the board hears of it: the final note names the file where it ended up.
  outcomes->paths[at] = placeResult(download, response, *outcomes->options, &outcomes->wanted[at]);
  SlotState state = response.isSuccess() ? kSucceeded : kFailed;
  if (isUpToDate(download, response)) state = kUpToDate;
  if (download.savePath.empty() && stream->readerGone.load()) state = kClosed;
  if (ContinuedFile* continued = outcomes->continued[at].get()) {
    const ContinuedFile::Verdict verdict = continued->finish(response.isSuccess());
    outcomes->verdicts[at] = verdict;
    outcomes->paths[at] = download.savePath;
    state = verdict == ContinuedFile::Verdict::kExtended   ? kSucceeded
            : verdict == ContinuedFile::Verdict::kComplete ? kComplete
                                                           : kFailed;
  }
  outcomes->responses[at] = keptResponse(download, response, *outcomes->options);
  board->finished(static_cast<int>(at), state, response.fileLength, outcomes->paths[at]);
}

void printLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  (void)writeAll(fd, text.data(), text.size());
}

void printError(const std::string& message) { printLine(STDERR_FILENO, "zget: " + message); }

// The MD5 line of one finished download (--md5); false when it cannot be computed. The checks
// of --checksum and checksum= lines are the library's, made before delivery.
bool checkResult(const RunContext& context, const PlannedDownload& download,
                 const ZPResponse& response) {
  const bool printMd5 = context.options->printMd5;
  if (!printMd5) return true;
  const std::string shown = download.savePath.empty() ? "-" : response.getFile();
  const std::string md5 = response.getMd5Etag();
  if (md5.empty()) {
    printError("cannot read " + shown + " to compute its MD5");
    return false;
  }
  // md5sum's layout; beside data on standard output it goes to standard error.
  printLine(download.savePath.empty() ? STDERR_FILENO : context.dataFd, md5 + "  " + shown);
  return true;
}

bool deliverToStdout(const RunContext& context, ZPResponse& response) {
  const std::shared_ptr<std::vector<uint8_t>> data = response.getData();
  // None for a download streamed to standard output: its bytes are out already.
  if (data == nullptr || data->empty()) return true;
  if (writeAll(context.dataFd, data->data(), data->size())) return true;
  printError("cannot write to standard output: " + std::generic_category().message(errno));
  return false;
}

// Whether the storage below cacheRoot may hold an interrupted download: a progress file in its
// cache directory, or a directory that cannot be read. One read of the directory spares a long
// list a look per download for a progress file that is not there.
bool holdsInterruptedDownloads(const std::string& cacheRoot) {
  std::error_code error;
  std::filesystem::directory_iterator entries(pathFromUtf8(cacheRoot + "/lruCache"), error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (entries->path().extension() == ".info") return true;
  }
  return error && error != std::errc::no_such_file_or_directory;
}

// What earlier runs stored of each download: said before the run ("resuming NAME at 76.0 MiB
// of 300 MiB") and kept on the board, so that rates count only this run's bytes.
void announceResumes(const RunContext& context, const std::vector<PlannedDownload>& downloads,
                     ProgressBoard* board) {
  const bool anyStored = holdsInterruptedDownloads(context.cacheRoot);
  for (size_t i = 0; i < downloads.size(); ++i) {
    int64_t stored = 0;
    int64_t total = 0;
    if (downloads[i].continueFrom >= 0) {
      board->resumes(static_cast<int>(i), downloads[i].continueFrom, 0);
      if (context.options->quiet || downloads[i].continueFrom == 0) continue;
      printError("continuing " + platform::shownPath(downloads[i].savePath) + " at " +
                 formatBytes(downloads[i].continueFrom));
      continue;
    }
    if (!anyStored || !context.manager->fetchProgress(downloads[i].url, &stored, &total) ||
        stored <= 0) {
      continue;
    }
    board->resumes(static_cast<int>(i), stored, total);
    if (context.options->quiet) continue;
    std::string line = "resuming " + downloads[i].displayName + " at " + formatBytes(stored);
    if (total > 0) line += " of " + formatBytes(total);
    printError(line);
  }
}

}  // namespace

// -S: the status and header lines of the answer a download was judged on, indented as wget does.
void printAnswer(const ZPResponse& response) {
  if (response.httpCode <= 0) return;
  std::string text = "  HTTP " + std::to_string(response.httpCode) + "\n";
  for (const auto& [name, value] : response.headers) {
    text += "  " + zephyl::redactHeaderLine(name + ": " + value) + "\n";
  }
  (void)writeAll(STDERR_FILENO, text.data(), text.size());
}

bool writeAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

namespace {

enum class Ending { kDone, kFailed, kStopped };

// After a failure: the bytes the storage keeps of the download, in one line, so that the user
// knows they are there and how to drop them.
void reportKept(const RunContext& context, const PlannedDownload& download) {
  int64_t stored = 0;
  int64_t total = 0;
  if (context.options->quiet || download.continueFrom >= 0) return;
  if (!context.manager->fetchProgress(download.url, &stored, &total) || stored <= 0) return;
  printError("kept " + formatBytes(stored) + " of " + zephyl::redactUrl(download.url) + " in " +
             context.cacheRoot + "; run again to resume, --clear-cache to drop");
}

// The words for one failed download, on standard error. slot: its place on the board (how far
// it came); null when unknown.
void reportFailure(const RunContext& context, const PlannedDownload& download,
                   const ZPResponse& response, const DownloadSlot* slot = nullptr) {
  const ToolOptions& options = *context.options;
  if (response.errorCode == ZPResponse::CHECKSUM_MISMATCH) {
    // The library checked the content before delivery: nothing was saved.
    const std::string shown = download.savePath.empty() ? "-" : download.savePath;
    printError(shown + " failed its check (" + zephyl::redactUrl(download.url) +
               "), not saved: " + response.errorMsg);
    return;
  }
  FailurePlace place;
  place.cacheDir = context.cacheRoot;
  if (slot != nullptr && slot->downloaded.load() > 0) {
    place.storedBytes = slot->downloaded.load();
    place.totalBytes = slot->total.load();
  }
  if (!download.savePath.empty()) {
    place.targetDir = utf8FromPath(pathFromUtf8(download.savePath).parent_path());
  }
  printError(describeFailure(download.url, response, response.httpCode, place,
                             !options.user.empty(), options.verbose));
  reportKept(context, download);
}

// The length a 416 answer names ("Content-Range: bytes */LENGTH"); -1 when it names none.
int64_t lengthOf416(const ZPResponse& response) {
  for (const auto& [name, value] : response.headers) {
    const size_t slash = value.rfind("*/");
    if (name == "content-range" && slash != std::string::npos) {
      return std::strtoll(value.c_str() + slash + 2, nullptr, 10);
    }
  }
  return -1;
}

// -c: what became of the partial file at the target, in words when it did not grow to the
// whole file.
Ending reportContinued(const RunContext& context, const PlannedDownload& download,
                       const ZPResponse& response, const ContinuedFile& file,
                       ContinuedFile::Verdict verdict, int signal) {
  const std::string& path = download.savePath;
  const std::string fix = "; remove it or run without -c";
  int64_t serverLength = response.fileLength;
  switch (verdict) {
    case ContinuedFile::Verdict::kExtended:
    case ContinuedFile::Verdict::kComplete:
      return Ending::kDone;
    case ContinuedFile::Verdict::kMismatch:
      printError(path + " is not the start of " + zephyl::redactUrl(download.url) +
                 " (its last bytes differ from the server's), left as it was" + fix);
      return Ending::kFailed;
    case ContinuedFile::Verdict::kWriteFailed:
      printError(storageFailureWords(file.writeErrno(), path, std::string()));
      return Ending::kFailed;
    case ContinuedFile::Verdict::kLonger:
      break;
    case ContinuedFile::Verdict::kUnfinished:
      if (signal != 0 || response.isCancelled()) return Ending::kStopped;
      if (response.httpCode == 416) {
        serverLength = lengthOf416(response);
        break;
      }
      if (response.errorCode == ZPResponse::STREAM_ERROR && response.httpCode == 200) {
        printError("cannot continue " + path + ": " + hostOf(download.url) +
                   " sends the whole file, not its rest" + fix);
        return Ending::kFailed;
      }
      reportFailure(context, download, response);
      return Ending::kFailed;
  }
  std::string text = path + " is longer than the file at " + zephyl::redactUrl(download.url);
  if (serverLength >= 0) text += " (" + formatBytes(serverLength) + ")";
  printError(text + ", left as it was" + fix);
  return Ending::kFailed;
}

// What one download's response means for the run, after its messages and its data.
Ending reportResult(const RunContext& context, const PlannedDownload& download,
                    ZPResponse& response, const std::string& path, const std::string& wanted,
                    int signal, const DownloadSlot& slot) {
  const ToolOptions& options = *context.options;
  if (options.serverResponse) printAnswer(response);
  if (isUpToDate(download, response)) return Ending::kDone;
  if (response.isSuccess()) {
    // Only a name that was taken: the server's suggestion (--content-disposition) is no
    // existing file the result had to avoid.
    if (!options.quiet && !download.savePath.empty() && path != wanted) {
      printError(platform::shownPath(wanted) + " exists; saved as " + platform::shownPath(path));
    }
    const bool delivered = !download.savePath.empty() || deliverToStdout(context, response);
    return delivered && checkResult(context, download, response) ? Ending::kDone : Ending::kFailed;
  }
  // Once a signal arrived, a download that did not succeed was stopped by it: a cancel that
  // lands in a download's last attempt ends it with that attempt's failure.
  if (signal != 0 || response.isCancelled()) return Ending::kStopped;
  reportFailure(context, download, response, &slot);
  return Ending::kFailed;
}

// -c: opens the partial file of every download that continues one (before anything is fetched);
// false, with a message, when one cannot be read or written.
bool openContinuedFiles(const std::vector<PlannedDownload>& downloads, Outcomes* outcomes) {
  outcomes->continued.resize(downloads.size());
  outcomes->verdicts.assign(downloads.size(), ContinuedFile::Verdict::kUnfinished);
  for (size_t i = 0; i < downloads.size(); ++i) {
    if (downloads[i].continueFrom < 0) continue;
    auto file = std::make_unique<ContinuedFile>(downloads[i].savePath, downloads[i].continueFrom);
    std::string error;
    if (!file->open(&error)) {
      printError(error);
      return false;
    }
    outcomes->continued[i] = std::move(file);
  }
  return true;
}

// One download the interrupt stopped, with what is kept of it: what the cache holds (the amount
// the next run's "resuming ... at" names), or the size the partial file of -c grew to.
void reportStopped(const RunContext& context, const PlannedDownload& download) {
  if (context.options->quiet) return;
  int64_t stored = 0;
  int64_t total = 0;
  if (download.continueFrom >= 0) {
    std::error_code error;
    const auto size = std::filesystem::file_size(pathFromUtf8(download.savePath), error);
    stored = error ? 0 : static_cast<int64_t>(size);
  } else if (download.savePath.empty() ||
             !context.manager->fetchProgress(download.url, &stored, &total)) {
    stored = 0;  // a stream keeps nothing
  }
  std::string line = "stopped  " + download.displayName;
  if (stored > 0) line += " at " + formatBytes(stored);
  if (stored > 0 && total > 0) line += " of " + formatBytes(total);
  printLine(STDERR_FILENO, line);
}

// The summary of a run of several downloads and the exit status.
int finishRun(const RunContext& context, size_t count, int failed, int stopped, int signal) {
  if (!context.options->quiet && count > 1) {
    std::string summary = std::to_string(count - static_cast<size_t>(failed + stopped)) + " of " +
                          std::to_string(count) + " downloads finished";
    if (failed > 0) summary += ", " + std::to_string(failed) + " failed";
    if (stopped > 0) summary += ", " + std::to_string(stopped) + " stopped";
    printError(summary);
  }
  if (stopped > 0) {
    printError("interrupted; the partial data is kept in " +
               platform::shownPath(context.cacheRoot) + "; run the same command again to resume");
    return 128 + (signal != 0 ? signal : 2);
  }
  return failed > 0 ? kExitFailure : kExitSuccess;
}

}  // namespace

int runDownloads(const RunContext& context, const std::vector<PlannedDownload>& downloads) {
  const ToolOptions& options = *context.options;
  std::unique_ptr<ProgressBoard> boardOwner;
  {
    // Only while the board is made: its slots keep the names and paths.
    std::vector<std::string> names;
    std::vector<std::string> paths;
    for (const PlannedDownload& download : downloads) {
      names.push_back(download.displayName);
      paths.push_back(download.savePath.empty() ? "(standard output)" : download.savePath);
    }
    boardOwner = std::make_unique<ProgressBoard>(names, paths);
  }
  ProgressBoard& board = *boardOwner;
  announceResumes(context, downloads, &board);
  StdoutStream stream;
  stream.fd = context.dataFd;
  stream.manager = context.manager;
  Outcomes outcomes{&downloads,
                    &options,
                    std::vector<std::string>(downloads.size()),
                    std::vector<std::string>(downloads.size()),
                    {},
                    {},
                    std::vector<std::unique_ptr<ZPResponse>>(downloads.size())};
  if (!openContinuedFiles(downloads, &outcomes)) return kExitFailure;
  const bool streaming = streamsToStdout(downloads, options);
  Zephyl* manager = context.manager;
  // Enough queued behind the running downloads that a task thread always finds the next one,
  // and every thread of the manager (twice its task count) has work.
  const int taskThreads = std::max(manager->getSettings().taskThreadNum, 1);
  const size_t window = 4 * static_cast<size_t>(taskThreads) + 4;
  DownloadFeed feed(
      downloads.size(), window,
      [&](size_t index) {
        return buildRequest(index, options, streaming, &board, &stream, &outcomes);
      },
      [manager](const ZPRequest& request) { manager->enqueue(request); },
      [manager](int requestId) { manager->cancelByRequest(requestId); },
      [&](size_t index, const ZPResponse& response) {
        finishDownload(index, response, &board, &stream, &outcomes);
        // zget reads no metrics record back: the metrics library's copies of those it has
        // delivered go, so that they do not add up over a long list.
        Pelvar_ClearUploaded();
      });
  stream.feed = &feed;

  std::unique_ptr<ProgressDisplay> display;
  if (!options.quiet) {
    const auto mode = platform::isTerminal(STDERR_FILENO) ? ProgressDisplay::Mode::kTerminal
                                                          : ProgressDisplay::Mode::kLines;
    display =
        std::make_unique<ProgressDisplay>(&board, mode, STDERR_FILENO, options.summaryIntervalMs);
    display->start();
  }
  InterruptWatcher watcher([&board, &feed, manager] {
    board.interrupted();
    // First: no download is handed over after the cancel.
    feed.stop();
    manager->cancelAll();
  });
  watcher.start();
  feed.run();
  watcher.stop();
  if (display) display->stop();
  const int signal = watcher.signalNumber();
  // The reader of standard output is gone (zget -o - URL | head): done, quietly, at once.
  if (stream.readerGone.load() && signal == 0) return kExitSuccess;
  if (stream.writeError.load() != 0) {
    printError("cannot write to standard output: " +
               std::generic_category().message(stream.writeError.load()));
    return kExitFailure;
  }
  int failed = 0;
  int stopped = 0;
  ZPResponse delivered(ZPResponse::RESULT_SUCCESS, 0, "");
  for (size_t i = 0; i < downloads.size(); ++i) {
    ZPResponse& response = outcomes.responses[i] ? *outcomes.responses[i] : delivered;
    const ContinuedFile* continued = outcomes.continued[i].get();
    const Ending ending = continued != nullptr
                              ? reportContinued(context, downloads[i], response, *continued,
                                                outcomes.verdicts[i], signal)
                              : reportResult(context, downloads[i], response, outcomes.paths[i],
                                             outcomes.wanted[i], signal, board.slot(i));
    // Reported: its memory (a body for standard output) goes now.
    outcomes.responses[i].reset();
    if (ending == Ending::kStopped) reportStopped(context, downloads[i]);
    failed += ending == Ending::kFailed ? 1 : 0;
    stopped += ending == Ending::kStopped ? 1 : 0;
  }
  return finishRun(context, downloads.size(), failed, stopped, signal);
}

}  // namespace zget
