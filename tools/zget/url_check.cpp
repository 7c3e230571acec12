#include "url_check.h"

#include <cctype>
#include <cstdlib>

#include "zephyl/zp_redaction.h"

namespace zget {
namespace {

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isSchemeName(const std::string& text) {
  if (text.empty() || std::isalpha(static_cast<unsigned char>(text[0])) == 0) return false;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

// A registered name (letters, digits, "-", ".", "_", "~", percent escapes, and UTF-8 bytes of
// an international name) or a bracketed IPv6 address.
bool isHost(const std::string& host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    for (size_t i = 1; i + 1 < host.size(); ++i) {
      const char c = host[i];
      if (std::isxdigit(static_cast<unsigned char>(c)) == 0 && c != ':' && c != '.') return false;
    }
    return true;
  }
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) == 0 && u < 0x80 && c != '-' && c != '.' && c != '_' && c != '~' &&
        c != '%') {
      return false;
    }
  }
  return true;
}

bool isPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  const long value = std::strtol(port.c_str(), nullptr, 10);
  return value >= 1 && value <= 65535;
}

}  // namespace

bool checkUrl(const std::string& url, std::string* usable, std::string* reason) {
  const std::string shown = zephyl::redactUrl(url);
  for (char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) {
      *reason = "not a URL: \"" + shown + "\" (blanks must be written %20)";
      return false;
    }
  }
  std::string full = url;
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) {
    full = "http://" + url;
  } else {
    const std::string scheme = url.substr(0, schemeEnd);
    if (!isSchemeName(scheme)) {
      *reason = "not a URL: \"" + shown + "\"";
      return false;
    }
    const std::string folded = lowercase(scheme);
    if (folded != "http" && folded != "https") {
      *reason = "unsupported scheme \"" + scheme + "\" in " + shown +
                ": zget downloads http:// and https:// URLs";
      return false;
    }
  }
  const size_t begin = full.find("://") + 3;
  size_t end = full.find_first_of("/?#", begin);
  if (end == std::string::npos) end = full.size();
  std::string authority = full.substr(begin, end - begin);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string host = authority;
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    host = authority.substr(0, colon);
    if (!isPort(authority.substr(colon + 1))) {
      *reason = "not a URL: \"" + shown + "\" (the port must be a number from 1 to 65535)";
      return false;
    }
  }
  if (!isHost(host)) {
    *reason = "not a URL: \"" + shown + "\" (no valid host name)";
    return false;
  }
  *usable = full;
  return true;
}

}  // namespace zget
