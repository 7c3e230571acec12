// The command line of zget: every option as a typed value, parsed with CLI11 and checked.
// Names follow aria2c where aria2c has the same option. One thread (main's).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zephyl/zp_log_level.h"

namespace zget {

// Exit statuses of the tool.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a download (or an MD5 check) failed
inline constexpr int kExitUsage = 2;    // the command line cannot be carried out as written
inline constexpr int kExitInterrupted = 130;

struct ToolOptions {
  std::vector<std::string> urls;
  std::string inputFile;        // -i: a list of URLs, run as one batch with the command-line URLs
  std::string outputFile;       // -o: the one download's file ("-": standard output)
  std::string outputDir = ".";  // -d
  bool quiet = false;           // -q: no progress display and no notes; errors are still printed
  bool verbose = false;         // -v: failures also give the library's codes and message

  // Unset values keep the library's defaults.
  std::optional<int32_t> connections;       // -x: threadNum
  std::optional<int64_t> blockSize;         // -k: blockSize
  std::optional<int32_t> downloadsAtOnce;   // -j: taskThreadNum
  std::optional<int32_t> timeoutMs;         // --timeout
  std::optional<int32_t> connectTimeoutMs;  // --connect-timeout
  std::optional<int32_t> maxTries;          // -m, -t: executeRetryCount + 1
  std::optional<int32_t> readTimeoutMs;     // --read-timeout: stallTimeoutMs
  std::optional<int32_t> retryWaitMs;       // --retry-wait
  std::optional<int32_t> progressSaveIntervalMs;  // --progress-save-interval
  std::optional<int32_t> httpRetries;       // --http-retries: serverErrorRetryCount
  std::optional<int32_t> netRetries;        // --net-retries: netErrorRetryCount
  // A 404, an untrusted certificate, a name that does not exist or a redirect loop fails at once
  // (repeatLastingFailures off), as with wget and curl; --retry-all-errors repeats them too.
  bool retryAllErrors = false;
  std::optional<int32_t> maxRedirects;      // --max-redirect: maxRedirects
  std::unordered_map<std::string, std::vector<std::string>> mirrors;  // --mirror: domainMap
  std::string caCertificate;  // --ca-certificate: caCertificatePath; empty: the system's
  bool insecure = false;      // --insecure: verifyTls off
  // --header "Name: value" (repeatable): headers of every request, in order
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> userAgent;  // -U, --user-agent: userAgent; "" sends none
  std::string cookieFile;                // --load-cookies: cookieFile (a Netscape cookie file)
  std::string user;                      // --user: each request's userName
  std::string password;                  // --password: each request's password
  std::string proxy;         // --proxy: proxy; empty: the environment's (Windows: the system's)
  std::string noProxyList;   // --no-proxy=LIST: noProxy
  bool noProxyAtAll = false;  // --no-proxy alone: useSystemProxy off, no proxy at all
  int64_t limitRate = 0;        // --limit-rate: each request's maxBytesPerSecond; 0: none
  int64_t maxOverallRate = 0;   // --max-overall-rate: the manager's maxBytesPerSecond; 0: none

  // --cache-dir: the storage root itself, refused when it holds anything the library did not
  // make; empty: the user's cache directory
  std::string cacheDir;
  // The tool's own cache limits: an interrupted download is kept whatever its size, since a
  // size rule would drop big downloads at once and make them start over.
  int64_t cacheMaxSize = 0;  // 0: no size rule
  int32_t cacheMaxCount = 100;
  int64_t cacheMaxAgeMs = 30LL * 24 * 3600 * 1000;  // 0: entries never expire

  // An existing file is kept and the download saved as "name(1).ext" (renameIfExists), unless
  // --allow-overwrite; --rename, the old way to ask for that, is still accepted.
  bool allowOverwrite = false;
  bool noClobber = false;                 // -nc: skip a download whose file exists
  bool continuePartial = false;           // -c: continue a partial file at the target
  bool timestamping = false;              // -N: fetch only when the server's copy is newer
  bool contentDisposition = false;        // --content-disposition: the server's file name
  bool serverResponse = false;            // -S: print the answers' status and headers
  bool spider = false;                    // --spider: check that each URL answers, save nothing
  bool outputToTerminal = false;          // --output-to-terminal: -o - even onto a terminal
  bool noWriteOut = false;                // --no-write-out: writeOutBeforeDelivery off
  bool noServerTime = false;              // --no-server-time: files keep their download time
  std::optional<ZPLogLevel> logLevel;     // --log-level
  std::string metricsFile;                // --metrics-file
  bool printMd5 = false;                  // --md5
  std::string checkMd5;                   // --check-md5, lowercase hex
  std::string checksum;  // --checksum or --check-md5 in the library's form ("sha256:<hex>")
  std::vector<std::string> showProgress;  // --show-progress
  bool clearCache = false;                // --clear-cache
  int64_t summaryIntervalMs = 5000;       // --summary-interval: progress lines off a terminal
};

// Parses the command line (UTF-8, the program's name first) into *options. Returns -1 when the
// tool should go on, or the exit status to end with: 0 after --help or --version (printed on
// stdout), kExitUsage after a usage error (message on stderr).
int parseOptions(const std::vector<std::string>& arguments, ToolOptions* options);

// Prints "zget: <message>" and the hint about --help on stderr; returns kExitUsage.
int usageError(const std::string& message);

}  // namespace zget
