#include "failure_text.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "units.h"
#include "utf8_path.h"
#include "zephyl/zp_redaction.h"

namespace zget {
namespace {

// Codes the transfer layer puts in extraErrorCode beside libcurl's.
constexpr int kNoTransferHandle = 2;
constexpr int kNoUsableStatus = 1000;
constexpr int kAnswerDoesNotFit = 1001;

struct StatusWords {
  int status;
  const char* reason;
  const char* meaning;
};

constexpr StatusWords kStatusWords[] = {
    {304, "Not Modified", "the file has not changed"},
    {400, "Bad Request", "the server refused the request"},
    {401, "Unauthorized", "the server wants a user name and password (--user, --password)"},
    {403, "Forbidden", "the server refuses access to the file"},
    {404, "Not Found", "the file is not there"},
    {405, "Method Not Allowed", "the server does not serve downloads at this address"},
    {407, "Proxy Authentication Required", "the proxy wants a user name and password"},
    {408, "Request Timeout", "the server stopped waiting; try again"},
    {410, "Gone", "the file was removed for good"},
    {416, "Range Not Satisfiable", "the server cannot serve the part asked for; try again"},
    {429, "Too Many Requests", "the server asks for fewer requests; try again later or with -x 1"},
    {451, "Unavailable For Legal Reasons", "the server withholds the file"},
    {500, "Internal Server Error", "the server failed; try again later"},
    {501, "Not Implemented", "the server cannot serve this request"},
    {502, "Bad Gateway", "a server on the way failed; try again later"},
    {503, "Service Unavailable", "the server is unavailable or overloaded; try again later"},
    {504, "Gateway Timeout", "a server on the way did not answer; try again later"},
};

std::string statusWords(int status, const std::string& host, bool userGiven) {
  const char* reason = "";
  std::string meaning = status >= 500 ? "the server failed; try again later"
                                      : "the server refused the request";
  for (const StatusWords& words : kStatusWords) {
    if (words.status != status) continue;
    reason = words.reason;
    meaning = words.meaning;
  }
  if (status == 401 && userGiven) meaning = "the user name or password was refused";
  std::string text = std::to_string(status);
  if (*reason != '\0') text += std::string(" ") + reason;
  return text + " from " + host + ": " + meaning;
}

std::string networkWords(int curlCode, const std::string& host) {
  switch (curlCode) {
    case 1:
      return "this kind of address is not supported: use http:// or https://";
    case 3:
      return "the URL is malformed";
    case 5:
      return "cannot find the proxy's host: check --proxy or the proxy settings";
    case 6:
      return "cannot find the host " + host + ": check the name and the network connection";
    case 7:
      return "cannot connect to " + host + ": the connection was refused or the host is "
             "unreachable";
    case 18:
    case 55:
    case 56:
      return "the connection to " + host + " broke during the download; run again to resume";
    case 28:
      return host + " did not answer in time; try again, or allow more time (--timeout, "
             "--connect-timeout)";
    case 35:
      return "the secure connection to " + host + " failed (TLS handshake)";
    case 47:
      return "too many redirects from " + host;
    case 52:
      return host + " closed the connection without answering";
    case 58:
    case 60:
    case 83:
    case 90:
    case 91:
      return "the certificate of " + host + " is not trusted: give its authority with "
             "--ca-certificate FILE (or skip the check with --insecure)";
    case 77:
      return "cannot read the trusted certificates (--ca-certificate)";
    case kNoTransferHandle:
      return "cannot start a transfer (out of memory or handles)";
    case kNoUsableStatus:
      return host + " answered without any data";
    case kAnswerDoesNotFit:
      return host + " answered with another part than asked for (the file may be changing on "
             "the server); try again";
    default:
      return "network error while talking to " + host;
  }
}

// The number after marker in message, or -1.
int64_t numberAfter(const std::string& message, const std::string& marker) {
  const size_t at = message.find(marker);
  if (at == std::string::npos) return -1;
  return std::strtoll(message.c_str() + at + marker.size(), nullptr, 10);
}

// The length in the library's "no room on the storage disk for <length> bytes" (or "on the
// target disk"), or -1.
int64_t lengthWithoutRoom(const std::string& message) {
  const int64_t storage = numberAfter(message, "no room on the storage disk for ");
  return storage >= 0 ? storage : numberAfter(message, "no room on the target disk for ");
}

// The free room the library measured ("(<bytes> bytes free)"), or -1.
int64_t roomMeasured(const std::string& message) {
  const size_t at = message.find(" bytes free)");
  if (at == std::string::npos) return -1;
  const size_t open = message.rfind('(', at);
  return open == std::string::npos ? -1 : std::strtoll(message.c_str() + open + 1, nullptr, 10);
}

// " after 500 kB of 1 MB" when the figures are known, else "".
std::string howFar(const FailurePlace& place) {
  if (place.storedBytes < 0) return std::string();
  std::string text = " after " + formatBytes(place.storedBytes);
  if (place.totalBytes > 0) text += " of " + formatBytes(place.totalBytes);
  return text;
}

// What a failure of the local disk means, by the library's cause; empty for a cause that is not
// the disk's or says no more than the system's code (storageFailureWords tells that one).
std::string diskWords(const ZPResponse& response, const std::string& dir) {
  switch (response.cause) {
    case ZPResponse::CAUSE_DISK_FULL:
      return storageFailureWords(ENOSPC, dir, response.errorMsg);
    case ZPResponse::CAUSE_ACCESS_DENIED:
      return "cannot write to " + dir + ": permission denied";
    case ZPResponse::CAUSE_FILE_IN_USE:
      return "cannot write to " + dir + ": the file is in use by another program; close it and "
             "run again";
    case ZPResponse::CAUSE_NO_SUCH_DRIVE:
      return "cannot write to " + dir + ": no such drive or directory";
    case ZPResponse::CAUSE_NAME_NOT_ALLOWED:
      return "cannot write to " + dir + ": the file system does not allow the name";
    case ZPResponse::CAUSE_READ_ONLY:
      return "cannot write to " + dir + ": the file system is read-only";
    default:
      return std::string();
  }
}

// What the server or the way to it did, by the library's cause; empty when the codes tell it
// better (a status, libcurl's own network codes).
std::string causeWords(const ZPResponse& response, const std::string& host,
                       const FailurePlace& place) {
  switch (response.cause) {
    case ZPResponse::CAUSE_SERVER_CLOSED_EARLY:
      return "the server " + host + " closed the connection" + howFar(place) +
             "; run again to resume";
    case ZPResponse::CAUSE_SERVER_IGNORES_RANGES:
      return "the download from " + host + " stopped" + howFar(place) +
             " and cannot go on there: the server does not send parts of the file; run again "
             "to start over";
    case ZPResponse::CAUSE_SERVER_WRONG_LENGTH:
      return "the server " + host + " sent another length than it announced" + howFar(place);
    case ZPResponse::CAUSE_TOO_MANY_REDIRECTS:
      return "too many redirects from " + host + " (a redirect loop?); --max-redirect N allows "
             "more";
    case ZPResponse::CAUSE_RESOURCE_CHANGED:
      return "the file changed on " + host + " during the download; run again";
    case ZPResponse::CAUSE_PROXY_UNREACHABLE:
      return "cannot reach the proxy (" + zephyl::redactUrlsIn(response.errorMsg) +
             "): check --proxy or the system's proxy settings, or use --no-proxy";
    case ZPResponse::CAUSE_PROXY_REFUSED:
      return "the proxy refused the request for " + host + " (" +
             zephyl::redactUrlsIn(response.errorMsg) + ")";
    case ZPResponse::CAUSE_CANCELLED:
      return "cancelled";
    default:
      return std::string();
  }
}

}  // namespace

std::string storageFailureWords(int systemCode, const std::string& dir,
                                const std::string& message) {
  switch (systemCode) {
    case ENOSPC: {
      std::string words = "not enough space on " + dir;
      const int64_t need = lengthWithoutRoom(message);
      int64_t free = roomMeasured(message);
      std::error_code error;
      if (free < 0) {
        const std::filesystem::space_info space = std::filesystem::space(pathFromUtf8(dir), error);
        free = static_cast<int64_t>(space.available);
      }
      if (need > 0 && !error) {
        words += ": need " + formatBytes(need) + ", " + formatBytes(free) + " free";
      }
      return words;
    }
#ifdef EDQUOT
    case EDQUOT:
      return "your disk quota on " + dir + " is used up";
#endif
    case EACCES:
    case EPERM:
      return "cannot write to " + dir + ": permission denied";
    case EROFS:
      return "cannot write to " + dir + ": the file system is read-only";
    case 0:
      return "cannot write to " + dir;
    default:
      // The library's own codes (below 0) are no system error: they have no text of their own.
      if (systemCode < 0) return "cannot write to " + dir;
      return "cannot write to " + dir + ": " + std::generic_category().message(systemCode);
  }
}

std::string hostOf(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
  size_t end = url.find_first_of("/?#", begin);
  if (end == std::string::npos) end = url.size();
  const std::string authority = url.substr(begin, end - begin);
  const size_t at = authority.rfind('@');
  const std::string host = at == std::string::npos ? authority : authority.substr(at + 1);
  return host.empty() ? zephyl::redactUrl(url) : host;
}

std::string describeFailure(const std::string& fullUrl, const ZPResponse& response,
                            int httpStatus, const FailurePlace& place, bool userGiven,
                            bool verbose) {
  const std::string url = zephyl::redactUrl(fullUrl);
  const std::string host = hostOf(fullUrl);
  int code = response.errorCode;
  const int extra = response.extraErrorCode;
  std::string words = causeWords(response, host, place);
  if (!words.empty()) code = 0;  // told: the switch below has nothing to add
  switch (code) {
    case 0:
      break;
    case ZPResponse::ILLEGAL_URL:
      words = "the URL is empty";
      break;
    case ZPResponse::ILLEGAL_HEADER:
      // The library's message names the header, never its value.
      words = "a header or the user name cannot be sent: " + response.errorMsg;
      break;
    case ZPResponse::ILLEGAL_PROXY:
      // The message names why, never the proxy's URL.
      words = "the proxy cannot be used: " + response.errorMsg + " (check --proxy)";
      break;
    case ZPResponse::BLOCK_HTTP_SERVER_ERROR:
      // A later range failing after a good first answer: 200 or 206 is no reason.
      words = httpStatus >= 300 ? statusWords(httpStatus, host, userGiven)
                                : host + " answered with an error status";
      break;
    case ZPResponse::BLOCK_HTTP_NETWORK_ERROR:
      words = networkWords(extra, host);
      break;
    case ZPResponse::DATA_WRITE_ERROR:
    case ZPResponse::EXECUTE_ERROR:
    case ZPResponse::CACHE_ERROR: {
      // Placing the finished file is a move into the target's directory, and a target that
      // cannot take it is found before the first byte; anything else is the storage of
      // unfinished downloads.
      const bool placing = (response.errorMsg.find("MoveFile") != std::string::npos ||
                            response.errorMsg.find("cannot write ") == 0 ||
                            response.errorMsg.find("no room on the target disk") == 0) &&
                           !place.targetDir.empty();
      const std::string& dir = placing ? place.targetDir : place.cacheDir;
      words = diskWords(response, dir);
      if (words.empty()) words = storageFailureWords(extra, dir, response.errorMsg);
      break;
    }
    default:
      words = "the download failed";
      if (!response.errorMsg.empty()) words += ": " + zephyl::redactUrlsIn(response.errorMsg);
      break;
  }
  words += " (" + url + ")";
  if (!verbose) return words;
  words += " [error " + std::to_string(code);
  if (extra != 0) words += ", code " + std::to_string(extra);
  if (!response.errorMsg.empty()) words += ", " + zephyl::redactUrlsIn(response.errorMsg);
  return words + "]";
}

}  // namespace zget
