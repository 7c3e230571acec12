#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "help_format.h"
#include "input_list.h"
#include "option_hints.h"
#include "units.h"
#include "utf8_path.h"

namespace zget {
namespace {

constexpr int64_t kMinBlockSize = 1024;
constexpr int64_t kMaxBlockSize = 1024LL * 1024 * 1024;
constexpr int32_t kMaxThreads = 64;

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool parseLogLevel(const std::string& text, ZPLogLevel* level) {
  static const struct {
    const char* name;
    ZPLogLevel level;
  } kLevels[] = {{"verbose", Verbose}, {"debug", Debug}, {"info", Info},
                 {"warn", Warn},       {"error", Error}, {"none", None}};
  const std::string name = lowercase(text);
  for (const auto& entry : kLevels) {
    if (name == entry.name) {
      *level = entry.level;
      return true;
    }
  }
  return false;
}

// A duration that must fit the library's 32-bit millisecond fields.
bool durationOption(const std::string& name, const std::string& text, int32_t* milliseconds,
                    std::string* error) {
  int64_t value = 0;
  if (!parseDurationMs(text, &value) || value > std::numeric_limits<int32_t>::max()) {
    *error = name + ": not a duration: " + text;
    return false;
  }
  *milliseconds = static_cast<int32_t>(value);
  return true;
}

bool parseMirror(const std::string& text,
                 std::unordered_map<std::string, std::vector<std::string>>* mirrors,
                 std::string* error) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
    *error = "--mirror: expected HOST=ALT[,ALT...], got: " + text;
    return false;
  }
  std::vector<std::string>& hosts = (*mirrors)[text.substr(0, equals)];
  size_t begin = equals + 1;
  while (begin <= text.size()) {
    size_t end = text.find(',', begin);
    if (end == std::string::npos) end = text.size();
    const std::string host = text.substr(begin, end - begin);
    if (host.empty() || host.find('/') != std::string::npos) {
      *error = "--mirror: not a host name: \"" + host;
      *error += "\" in " + text;
      return false;
    }
    hosts.push_back(host);
    begin = end + 1;
  }
  return true;
}

// A CA file that opens for reading, or a directory (of hashed certificates).
bool isReadableCaPath(const std::string& path) {
  const std::filesystem::path place = pathFromUtf8(path);
  std::error_code error;
  if (std::filesystem::is_directory(place, error)) return true;
  return static_cast<bool>(std::ifstream(place, std::ios::binary));
}

// The raw texts of the options whose values need more than CLI11's conversions.
// A --header argument "Name: value" as its name and value (blanks around the value dropped);
// false with *error when the name is not an HTTP token, the value has a line break, or the
// header is one the library sets itself.
bool parseHeader(const std::string& text, std::vector<std::pair<std::string, std::string>>* headers,
                 std::string* error) {
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) != 0 || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
  });
  if (colon == std::string::npos || !token) {
    *error = "--header: expected \"Name: value\", got: " + text;
    return false;
  }
  size_t begin = colon + 1;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  const std::string value = text.substr(begin, end - begin);
  if (value.find_first_of("\r\n") != std::string::npos) {
    *error = "--header: the value of " + name + " has a line break";
    return false;
  }
  const std::string folded = lowercase(name);
  if (folded == "range" || folded == "if-range") {
    *error = "--header: " + name + " is set by zget itself";
    return false;
  }
  headers->emplace_back(name, value);
  return true;
}

struct RawOptions {
  std::string blockSize;
  std::string timeout;
  std::string connectTimeout;
  std::string retryWait;
  std::string readTimeout;
  std::string referer;
  std::string progressSaveInterval;
  std::vector<std::string> mirrors;
  std::vector<std::string> headers;
  std::optional<std::string> password;
  std::string cacheMaxSize;
  std::string cacheMaxAge;
  std::string logLevel;
  std::string summaryInterval;
  std::string limitRate;
  std::string maxOverallRate;
  std::string checksum;
  bool rename = false;
};

// A --limit-rate or --max-overall-rate argument: bytes per second, as wget and curl take it
// ("500K", "1M"; binary multiples). 0 means no limit, as it does for them.
bool rateOption(const char* name, const std::string& text, int64_t* bytesPerSecond,
                std::string* error) {
  if (text.empty()) return true;
  if (!parseByteSize(text, bytesPerSecond)) {
    *error = std::string(name) + ": expected bytes per second like 500K or 2M, got: " + text;
    return false;
  }
  return true;
}

// The block size, time limits, rates and alternative hosts.
bool convertTransfer(const RawOptions& raw, ToolOptions* options, std::string* error) {
  if (!raw.blockSize.empty()) {
    int64_t size = 0;
    if (!parseByteSize(raw.blockSize, &size) || size < kMinBlockSize || size > kMaxBlockSize) {
      *error = "-k: block size must be between 1K and 1G, got: " + raw.blockSize;
      return false;
    }
    options->blockSize = size;
  }
  int32_t milliseconds = 0;
  if (!raw.timeout.empty()) {
    if (!durationOption("--timeout", raw.timeout, &milliseconds, error)) return false;
    options->timeoutMs = milliseconds;
  }
  if (!raw.connectTimeout.empty()) {
    if (!durationOption("--connect-timeout", raw.connectTimeout, &milliseconds, error)) {
      return false;
    }
    options->connectTimeoutMs = milliseconds;
  }
  if (!raw.retryWait.empty()) {
    if (!durationOption("--retry-wait", raw.retryWait, &milliseconds, error)) return false;
    options->retryWaitMs = milliseconds;
  }
  if (!raw.readTimeout.empty()) {
    if (!durationOption("--read-timeout", raw.readTimeout, &milliseconds, error)) return false;
    options->readTimeoutMs = milliseconds;  // 0: no limit, as with wget
  }
  if (!raw.progressSaveInterval.empty()) {
    if (!durationOption("--progress-save-interval", raw.progressSaveInterval, &milliseconds,
                        error)) {
      return false;
    }
    options->progressSaveIntervalMs = milliseconds;
  }
  if (!rateOption("--limit-rate", raw.limitRate, &options->limitRate, error) ||
      !rateOption("--max-overall-rate", raw.maxOverallRate, &options->maxOverallRate, error)) {
    return false;
  }
  for (const std::string& mirror : raw.mirrors) {
    if (!parseMirror(mirror, &options->mirrors, error)) return false;
  }
  return true;
}

// Headers, credentials and the proxy: no line breaks, no contradictions.
bool convertIdentity(const RawOptions& raw, ToolOptions* options, std::string* error) {
  for (const std::string& header : raw.headers) {
    if (!parseHeader(header, &options->headers, error)) return false;
  }
  // --referer is a Referer header; one given with --header says the same and wins.
  const bool hasReferer =
      std::any_of(options->headers.begin(), options->headers.end(),
                  [](const auto& h) { return lowercase(h.first) == "referer"; });
  if (!raw.referer.empty() && !hasReferer) {
    if (raw.referer.find_first_of("\r\n") != std::string::npos) {
      *error = "--referer: has a line break";
      return false;
    }
    options->headers.emplace_back("Referer", raw.referer);
  }
  // libcurl reads a cookie file it cannot open as one without cookies: said before anything is
  // fetched instead.
  if (!options->cookieFile.empty() &&
      !std::ifstream(pathFromUtf8(options->cookieFile), std::ios::binary)) {
    *error = "--load-cookies: cannot read " + options->cookieFile;
    return false;
  }
  if (options->userAgent && options->userAgent->find_first_of("\r\n") != std::string::npos) {
    *error = "--user-agent: has a line break";
    return false;
  }
  if (raw.password && options->user.empty()) {
    *error = "--password needs --user";
    return false;
  }
  if (options->user.find_first_of("\r\n") != std::string::npos) {
    *error = "--user: has a line break";
    return false;
  }
  if (raw.password) options->password = *raw.password;
  if (options->proxy.find_first_of("\r\n") != std::string::npos ||
      options->noProxyList.find_first_of("\r\n") != std::string::npos) {
    *error = "--proxy, --no-proxy: has a line break";  // never quoted: it may hold a password
    return false;
  }
  if (options->noProxyAtAll && !options->proxy.empty()) {
    *error = "--proxy and --no-proxy without a list contradict each other";
    return false;
  }
  return true;
}

// The cache limits, the progress interval and the log level.
bool convertReports(const RawOptions& raw, ToolOptions* options, std::string* error) {
  if (!raw.cacheMaxSize.empty() && !parseByteSize(raw.cacheMaxSize, &options->cacheMaxSize)) {
    *error = "--cache-max-size: not a size: " + raw.cacheMaxSize;
    return false;
  }
  if (!raw.cacheMaxAge.empty() && !parseDurationMs(raw.cacheMaxAge, &options->cacheMaxAgeMs)) {
    *error = "--cache-max-age: not a duration: " + raw.cacheMaxAge;
    return false;
  }
  if (!raw.summaryInterval.empty() &&
      (!parseDurationMs(raw.summaryInterval, &options->summaryIntervalMs) ||
       options->summaryIntervalMs < 100)) {
    *error = "--summary-interval: a duration of at least 100ms, got: " + raw.summaryInterval;
    return false;
  }
  if (!raw.logLevel.empty()) {
    ZPLogLevel level = None;
    if (!parseLogLevel(raw.logLevel, &level)) {
      *error = "--log-level: one of verbose, debug, info, warn, error, none; got: " + raw.logLevel;
      return false;
    }
    options->logLevel = level;
  }
  return true;
}

// The digests results must have, and the trusted certificates.
bool convertChecks(const RawOptions& raw, ToolOptions* options, std::string* error) {
  if (!options->checkMd5.empty()) {
    if (!isMd5Hex(options->checkMd5)) {
      *error = "--check-md5: expected 32 hexadecimal digits, got: " + options->checkMd5;
      return false;
    }
    options->checkMd5 = lowercase(options->checkMd5);
  }
  if (!raw.checksum.empty()) {
    if (!options->checkMd5.empty()) {
      *error = "--checksum and --check-md5 contradict each other";
      return false;
    }
    if (!parseChecksumOption(raw.checksum, &options->checksum)) {
      *error = "--checksum: expected sha-256=<64 hex digits> or md5=<32 hex digits>, got: " +
               raw.checksum;
      return false;
    }
  } else if (!options->checkMd5.empty()) {
    options->checksum = "md5:" + options->checkMd5;
  }
  if (!options->caCertificate.empty() && !isReadableCaPath(options->caCertificate)) {
    *error = "--ca-certificate: cannot read " + options->caCertificate;
    return false;
  }
  return true;
}

// Options that contradict each other, and a command line with nothing to do.
bool checkCombinations(const RawOptions& raw, ToolOptions* options, std::string* error) {
  if (options->noClobber && options->timestamping) {
    *error = "--no-clobber and --timestamping contradict each other";
    return false;
  }
  if (options->noClobber && options->continuePartial) {
    *error = "--no-clobber and --continue contradict each other";
    return false;
  }
  if (options->continuePartial && options->outputFile == "-") {
    *error = "--continue continues a file; standard output is none";
    return false;
  }
  if (options->noClobber && options->allowOverwrite) {
    *error = "--no-clobber and --allow-overwrite contradict each other";
    return false;
  }
  if (raw.rename && options->allowOverwrite) {
    *error = "--rename and --allow-overwrite contradict each other";
    return false;
  }
  if (options->spider && (options->continuePartial || !options->checksum.empty() ||
                          options->printMd5 || options->timestamping)) {
    *error = "--spider fetches nothing: it cannot go with -c, -N, --md5 or a checksum";
    return false;
  }
  if (!options->showProgress.empty() && (!options->urls.empty() || !options->inputFile.empty())) {
    *error = "--show-progress only reports; it cannot be combined with downloads";
    return false;
  }
  if (options->urls.empty() && options->inputFile.empty() && options->showProgress.empty() &&
      !options->clearCache) {
    *error = "no URL given";
    return false;
  }
  return true;
}

// Converts and checks what CLI11 left as text; false with *error on the first bad value.
bool convert(const RawOptions& raw, ToolOptions* options, std::string* error) {
  return convertTransfer(raw, options, error) && convertIdentity(raw, options, error) &&
         convertReports(raw, options, error) && convertChecks(raw, options, error) &&
         checkCombinations(raw, options, error);
}

}  // namespace

int usageError(const std::string& message) {
  std::fprintf(stderr, "zget: %s\nRun with --help for more information.\n", message.c_str());
  return kExitUsage;
}

namespace {

// The arguments without a bare "--no-proxy" (wget's flag: no proxy at all), which sets
// *noProxyAtAll; "--no-proxy=LIST" (aria2c's bypass list) stays for the parser. Arguments after
// "--" are URLs and stay as they are.
std::vector<std::string> withoutBareNoProxy(const std::vector<std::string>& arguments,
                                            bool* noProxyAtAll) {
  std::vector<std::string> kept;
  bool urlsOnly = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0 && !urlsOnly && arguments[i] == "--no-proxy") {
      *noProxyAtAll = true;
      continue;
    }
    if (arguments[i] == "--") urlsOnly = true;
    kept.push_back(arguments[i]);
  }
  return kept;
}

// wget's two-letter short option ("-nc"), which CLI11 would read as "-n -c", spelled long.
std::vector<std::string> spelledForParser(std::vector<std::string> arguments) {
  for (std::string& argument : arguments) {
    if (argument == "--") break;
    if (argument == "-nc") argument = "--no-clobber";
  }
  return arguments;
}

// The first argument that names an option zget does not have, as a usage message; empty when
// there is none. CLI11 alone would take "-4" for a negative number and so for a URL, and would
// name no replacement for another tool's option.
std::string unknownOption(const CLI::App& app, const std::vector<std::string>& arguments) {
  bool valueNext = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") break;
    if (valueNext || argument.size() < 2 || argument[0] != '-') {
      valueNext = false;
      continue;
    }
    const bool isLong = argument[1] == '-';
    const size_t equals = argument.find('=');
    const std::string typed = argument.substr(0, equals);
    const CLI::Option* option = app.get_option_no_throw(isLong ? typed : argument.substr(0, 2));
    if (option == nullptr) return unknownOptionMessage(typed);
    // The option's value is the next argument unless it came attached ("--a=b", "-x8").
    const bool attached = isLong ? equals != std::string::npos : argument.size() > 2;
    valueNext = option->get_items_expected_min() > 0 && !attached;
  }
  return std::string();
}

// What to download and how: the options most runs need.
void addBasicOptions(CLI::App& app, ToolOptions* options, RawOptions& raw) {
  app.add_option("url", options->urls, "URLs to download")->type_name("URL")->group("Basic");
  app.add_option("-d,-P,--dir,--directory-prefix", options->outputDir,
                 "Directory of the finished files (default .)")
      ->type_name("DIR")
      ->group("Basic");
  app.add_option(
         "-o,-O,--out,--output-document", options->outputFile,
         "File of the download, relative to -d unless absolute; \"-\": streamed to standard "
         "output as it arrives (several go one after another)")
      ->type_name("FILE")
      ->group("Basic");
  app.add_flag("--output-to-terminal", options->outputToTerminal,
               "Let -o - write to standard output even when it is a terminal")
      ->group("Basic");
  app.add_flag("-c,--continue", options->continuePartial,
               "Continue a partial file another tool left at the target: fetch only the rest, "
               "after checking that its last bytes match the server's")
      ->group("Basic");
  app.add_flag("-q,--quiet", options->quiet, "No progress display; errors are still reported")
      ->group("Basic");
  app.add_flag("-v,--verbose", options->verbose,
               "Failures also give the library's error codes and message")
      ->group("Basic");
  app.add_option("-x,--max-connection-per-server", options->connections,
                 "Most ranges of one download fetched at once, opened while they pay (default 4)")
      ->type_name("N")
      ->check(CLI::Range(1, kMaxThreads))
      ->group("Basic");
  app.add_option("-k,--min-split-size", raw.blockSize, "Size of one range (default 2M)")
      ->type_name("SIZE")
      ->group("Basic");
}

// What becomes of finished files, and what is kept of unfinished ones.
void addOutputOptions(CLI::App& app, ToolOptions* options, RawOptions& raw) {
  app.add_flag("--allow-overwrite", options->allowOverwrite,
               "Replace an existing file (default: keep it, save as \"name(1).ext\")")
      ->group("Output");
  app.add_flag("--no-clobber", options->noClobber, "Skip a download whose file exists (also -nc)")
      ->group("Output");
  app.add_flag("-N,--timestamping", options->timestamping,
               "Fetch only when the server's copy is newer than the existing file, replacing it")
      ->group("Output");
  app.add_flag("--content-disposition", options->contentDisposition,
               "Name the file as the server suggests (Content-Disposition), inside its directory")
      ->group("Output");
  // The default now; accepted so that older scripts keep working.
  app.add_flag("--rename", raw.rename,
               "Keep an existing file and save as \"name(1).ext\" (the default)")
      ->group("Output");
  app.add_flag("--no-write-out", options->noWriteOut,
               "Deliver without waiting for the data to reach the disk (faster; a crash may "
               "leave a short file)")
      ->group("Output");
  app.add_flag("--no-server-time", options->noServerTime,
               "Give finished files the time of their download, not the server's Last-Modified")
      ->group("Output");
  app.add_option("--cache-dir", options->cacheDir,
                 "Storage of unfinished downloads: a directory of zget's own")
      ->type_name("DIR")
      ->group("Output");
  app.add_option("--cache-max-size", raw.cacheMaxSize,
                 "Size limit of kept unfinished downloads (default 0: none)")
      ->type_name("SIZE")
      ->group("Output");
  app.add_option("--cache-max-count", options->cacheMaxCount,
                 "Number of kept unfinished downloads (default 100)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000000))
      ->group("Output");
  app.add_option("--cache-max-age", raw.cacheMaxAge,
                 "Unfinished downloads older than this are dropped (default 30d; 0: never)")
      ->type_name("DURATION")
      ->group("Output");
  app.add_flag("--clear-cache", options->clearCache, "Delete every unfinished download first")
      ->group("Output");
  app.add_option("--show-progress", options->showProgress,
                 "Print what is stored of the download of URL, then exit (repeatable)")
      ->type_name("URL")
      ->group("Output");
  app.add_option("--log-level", raw.logLevel,
                 "Library log: verbose, debug, info, warn, error or none (default)")
      ->type_name("LEVEL")
      ->group("Output");
  app.add_option("--metrics-file", options->metricsFile,
                 "Append each download's metrics record to PATH as a JSON line")
      ->type_name("PATH")
      ->group("Output");
  app.add_option("--summary-interval", raw.summaryInterval,
                 "Period of progress lines when stderr is not a terminal (default 5s)")
      ->type_name("DURATION")
      ->group("Output");
}

// Time limits, retries, rates and alternative hosts.
void addNetworkOptions(CLI::App& app, ToolOptions* options, RawOptions& raw) {
  app.add_option("--timeout", raw.timeout, "Time limit of one range transfer (default none)")
      ->type_name("DURATION")
      ->group("Network");
  app.add_option("--connect-timeout", raw.connectTimeout, "Time limit to connect (default 10s)")
      ->type_name("DURATION")
      ->group("Network");
  app.add_option("-m,-t,--max-tries,--tries", options->maxTries,
                 "Attempts of a whole download (default 2)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000))
      ->group("Network");
  app.add_option("--retry-wait", raw.retryWait, "Pause before a new attempt (default 5s)")
      ->type_name("DURATION")
      ->group("Network");
  app.add_option("--read-timeout", raw.readTimeout,
                 "A transfer that receives no byte for this long fails and is retried "
                 "(default 60s; 0: no limit)")
      ->type_name("DURATION")
      ->group("Network");
  app.add_option("--progress-save-interval", raw.progressSaveInterval,
                 "Record a partial download's progress this often while bytes arrive (default "
                 "2s; 0: only as blocks finish)")
      ->type_name("DURATION")
      ->group("Output");
  app.add_option("--http-retries", options->httpRetries,
                 "Retries of a range after an HTTP error status (default 1)")
      ->type_name("N")
      ->check(CLI::Range(0, 1000))
      ->group("Network");
  app.add_option("--net-retries", options->netRetries,
                 "Retries of a range after a network error (default 2)")
      ->type_name("N")
      ->check(CLI::Range(0, 1000))
      ->group("Network");
  app.add_flag("--retry-all-errors", options->retryAllErrors,
               "Repeat every failure, a 404 or an untrusted certificate too (default: those fail "
               "at once)")
      ->group("Network");
  app.add_option("--max-redirect", options->maxRedirects,
                 "Redirects followed by one request at most (default 20)")
      ->type_name("N")
      ->check(CLI::Range(0, 1000))
      ->group("Network");
  app.add_option("--limit-rate", raw.limitRate,
                 "Most bytes per second of each download, its ranges together (default none)")
      ->type_name("RATE")
      ->group("Network");
  app.add_option("--max-overall-rate", raw.maxOverallRate,
                 "Most bytes per second of all downloads together (default none)")
      ->type_name("RATE")
      ->group("Network");
  app.add_option("--mirror", raw.mirrors,
                 "Alternative hosts for HOST, tried in order when a range fails (repeatable)")
      ->type_name("HOST=ALT[,ALT]")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group("Network");
}

// Trust, headers, credentials, the proxy, and what the server answered: the rest of the network
// section.
void addIdentityOptions(CLI::App& app, ToolOptions* options, RawOptions& raw) {
  app.add_option("--ca-certificate", options->caCertificate,
                 "Trust the CA certificates in FILE (PEM; or a hashed directory) for HTTPS")
      ->type_name("FILE")
      ->group("Network");
  app.add_flag("--insecure,--no-check-certificate", options->insecure,
               "Accept any HTTPS certificate: no protection against impostors")
      ->group("Network");
  app.add_option("--header", raw.headers,
                 "Send this header with every request, replacing zget's own (repeatable)")
      ->type_name("\"NAME: VALUE\"")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->group("Network");
  app.add_option("-U,--user-agent", options->userAgent,
                 "User-Agent of every request (default libzephyl/<version>; \"\": none)")
      ->type_name("TEXT")
      ->group("Network");
  app.add_option("--referer", raw.referer, "Send URL as the Referer of every request")
      ->type_name("URL")
      ->group("Network");
  app.add_option("--load-cookies", options->cookieFile,
                 "Send the cookies of FILE (Netscape format, as curl and wget read it) where "
                 "their domain and path allow")
      ->type_name("FILE")
      ->group("Network");
  app.add_option("--user", options->user,
                 "User name for HTTP authentication (basic or digest, as the server asks)")
      ->type_name("USER")
      ->group("Network");
  app.add_option("--password", raw.password,
                 "Password for --user (other users may see a command line's arguments)")
      ->type_name("PASSWORD")
      ->group("Network");
  app.add_option("--proxy", options->proxy,
                 "Go through this proxy (http://, https://, socks5://; USER:PASSWORD@ for its "
                 "credentials); default: http_proxy and the like (Windows: the system's)")
      ->type_name("URL")
      ->group("Network");
  // "--no-proxy" alone is taken out before parsing (see withoutBareNoProxy): with an optional
  // value, a URL after it would be read as its list.
  app.add_option("--no-proxy", options->noProxyList,
                 "Alone: use no proxy at all; =LIST: reach these hosts (comma-separated, \"*\" "
                 "all) without the proxy")
      ->type_name("[=LIST]")
      ->group("Network");
  app.add_flag("--spider", options->spider,
               "Check that each URL answers (status, length); save nothing")
      ->group("Network");
  app.add_flag("-S,--server-response", options->serverResponse,
               "Print the status and headers of each download's answer")
      ->group("Network");
}

// Many downloads at once.
void addListOptions(CLI::App& app, ToolOptions* options, RawOptions& raw) {
  (void)raw;
  app.add_option("-i,--input-file", options->inputFile, "Download the URLs listed in FILE")
      ->type_name("FILE")
      ->group("Lists");
  app.add_option("-j,--max-concurrent-downloads", options->downloadsAtOnce,
                 "Downloads run at once (default 2)")
      ->type_name("N")
      ->check(CLI::Range(1, kMaxThreads))
      ->group("Lists");
}

// Digests of the results.
void addCheckOptions(CLI::App& app, ToolOptions* options, RawOptions& raw) {
  app.add_flag("--md5", options->printMd5, "Print the MD5 of each finished file")->group("Checks");
  app.add_option("--check-md5", options->checkMd5, "Fail unless each result has this MD5")
      ->type_name("HEX")
      ->group("Checks");
  app.add_option("--checksum", raw.checksum,
                 "Fail unless each result has this digest (TYPE sha-256 or md5), checked before "
                 "the file is saved: a result that fails is not saved")
      ->type_name("TYPE=HEX")
      ->group("Checks");
}

}  // namespace

int parseOptions(const std::vector<std::string>& givenArguments, ToolOptions* options) {
  const std::vector<std::string> arguments =
      spelledForParser(withoutBareNoProxy(givenArguments, &options->noProxyAtAll));
  CLI::App app{"zget: download files over HTTP(S) in parallel ranges, resumable.", "zget"};
  app.footer(helpFooter());
  app.formatter(makeHelpFormatter());
  RawOptions raw;
  app.set_help_flag("-h,--help", "Print this help message and exit")->group("Basic");
  app.set_version_flag("--version", "zget " ZGET_VERSION " (libzephyl)")->group("Basic");
  addBasicOptions(app, options, raw);
  addOutputOptions(app, options, raw);
  addNetworkOptions(app, options, raw);
  addIdentityOptions(app, options, raw);
  addListOptions(app, options, raw);
  addCheckOptions(app, options, raw);

  const std::string unknown = unknownOption(app, arguments);
  if (!unknown.empty()) return usageError(unknown);
  std::vector<const char*> argv;
  argv.reserve(arguments.size());
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::Success& success) {
    return app.exit(success);  // --help, --version
  } catch (const CLI::ParseError& error) {
    return usageError(error.what());
  }
  std::string error;
  if (!convert(raw, options, &error)) return usageError(error);
  return -1;
}

}  // namespace zget
