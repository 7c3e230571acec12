#include "failure_text.h"

#include <cctype>
#include <cstdlib>
#include <system_error>

#include "diagnostics/redaction.h"

namespace zget {
namespace {

// Codes the transfer layer puts in extraErrorCode beside libcurl's.
constexpr int kNoTransferHandle = 2;
constexpr int kNoUsableStatus = 1000;
constexpr int kAnswerDoesNotFit = 1001;

std::string networkWords(int curlCode, const std::string& url) {
  switch (curlCode) {
    case 1:
      return "unsupported protocol in " + url;
    case 3:
      return "malformed URL " + url;
    case 5:
      return "cannot resolve the proxy for " + url;
    case 6:
      return "cannot resolve the host of " + url;
    case 7:
      return "connection refused (or host unreachable) for " + url;
    case 18:
      return "the server closed the connection before the end of " + url;
    case 28:
      return "timed out on " + url;
    case 35:
      return "the TLS handshake failed for " + url;
    case 47:
      return "too many redirects for " + url;
    case 52:
      return "the server sent an empty reply for " + url;
    case 55:
    case 56:
      return "the connection broke during " + url;
    case kNoTransferHandle:
      return "cannot start a transfer for " + url;
    case kNoUsableStatus:
      return "the server answered without any data for " + url;
    case kAnswerDoesNotFit:
      return "the server's answer does not fit the range asked for " + url;
    default:
      return "network error on " + url;
  }
}

// ": <text of errno>" for codes that look like one (the storage layer reports errno values).
std::string systemText(int code) {
  if (code <= 0 || code >= 200) return std::string();
  return ": " + std::generic_category().message(code);
}

size_t skipBlanks(const std::string& text, size_t at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

// Position of the value of "key" (after the colon), npos when the key is absent.
size_t valueOf(const std::string& json, const std::string& key) {
  const std::string quoted = "\"" + key + "\"";
  size_t at = json.find(quoted);
  while (at != std::string::npos) {
    size_t colon = skipBlanks(json, at + quoted.size());
    if (colon < json.size() && json[colon] == ':') return skipBlanks(json, colon + 1);
    at = json.find(quoted, at + 1);
  }
  return std::string::npos;
}

// The JSON string starting at json[at] (a quote), unescaped; false when it is not one.
bool readString(const std::string& json, size_t at, std::string* out) {
  if (at >= json.size() || json[at] != '"') return false;
  out->clear();
  for (size_t i = at + 1; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '"') return true;
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (++i >= json.size()) return false;
    switch (json[i]) {
      case 'n':
        *out += '\n';
        break;
      case 't':
        *out += '\t';
        break;
      case 'r':
        *out += '\r';
        break;
      case 'b':
        *out += '\b';
        break;
      case 'f':
        *out += '\f';
        break;
      case 'u': {
        if (i + 4 >= json.size()) return false;
        const long unit = std::strtol(json.substr(i + 1, 4).c_str(), nullptr, 16);
        i += 4;
        // URLs are ASCII in practice; other characters cannot match and are kept as "?".
        *out += unit < 0x80 ? static_cast<char>(unit) : '?';
        break;
      }
      default:
        *out += json[i];
        break;  // \" \\ \/
    }
  }
  return false;
}

}  // namespace

std::string describeFailure(const std::string& fullUrl, const ZPResponse& response,
                            int httpStatus) {
  const std::string url = zephyl::redactUrl(fullUrl);
  const int code = response.errorCode;
  const int extra = response.extraErrorCode;
  std::string words;
  switch (code) {
    case ZPResponse::ILLEGAL_URL:
      words = "the URL is empty";
      break;
    case ZPResponse::ILLEGAL_HEADER:
      words = "a header or credential was refused";  // the message names which, not its value
      break;
    case ZPResponse::ILLEGAL_PROXY:
      words = "the proxy was refused";  // the message names why, never the proxy's URL
      break;
    case ZPResponse::BLOCK_HTTP_SERVER_ERROR:
      words = httpStatus > 0 && httpStatus != 200 && httpStatus != 206
                  ? "the server answered " + std::to_string(httpStatus) + " for " + url
                  : "the server answered with an error status for " + url;
      break;
    case ZPResponse::BLOCK_HTTP_NETWORK_ERROR:
      words = networkWords(extra, url);
      break;
    case ZPResponse::DATA_WRITE_ERROR:
    case ZPResponse::EXECUTE_ERROR:
      words = "cannot write the data of " + url + systemText(extra);
      break;
    case ZPResponse::CACHE_ERROR:
      words = "cannot store or place the file of " + url + systemText(extra);
      break;
    default:
      words = "the download of " + url + " failed";
      break;
  }
  words += " (error " + std::to_string(code);
  if (!response.errorMsg.empty()) words += ", " + zephyl::redactUrlsIn(response.errorMsg);
  return words + ")";
}

int httpStatusFromRecords(const std::vector<std::string>& records, const std::string& url) {
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    std::string recordUrl;
    // Records show the URL as redactUrl does.
    if (!readString(*record, valueOf(*record, "url"), &recordUrl) ||
        recordUrl != zephyl::redactUrl(url)) {
      continue;
    }
    const size_t status = valueOf(*record, "http_code");
    if (status == std::string::npos) return 0;
    return std::atoi(record->c_str() + status);
  }
  return 0;
}

}  // namespace zget
