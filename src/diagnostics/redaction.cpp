#include "diagnostics/redaction.h"

#include <cctype>
#include <cstddef>
#include <string>

namespace zephyl {
namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

// Replaces the password of the authority that starts at begin, if it has one.
void redactAuthorityAt(std::string* text, size_t begin) {
  size_t end = text->find_first_of("/?#", begin);
  if (end == std::string::npos) end = text->size();
  // The last "@" ends the user information: a password may hold an unescaped "@" of its own.
  const size_t at = text->substr(begin, end - begin).rfind('@');
  if (at == std::string::npos) return;
  const size_t colon = text->find(':', begin);
  if (colon == std::string::npos || colon > begin + at) return;
  text->replace(colon + 1, begin + at - colon - 1, kRedacted);
}

}  // namespace

std::string redactUrl(const std::string& url) {
  std::string shown = url;
  const size_t scheme = shown.find("://");
  const size_t firstDelimiter = shown.find_first_of("/?#");
  // "://" before any path is the scheme's end; otherwise the URL starts with its authority.
  const bool hasScheme = scheme != std::string::npos && scheme <= firstDelimiter;
  redactAuthorityAt(&shown, hasScheme ? scheme + 3 : 0);
  return shown;
}

std::string redactHeader(const std::string& name, const std::string& value) {
  if (equalsIgnoringCase(name, "Authorization") || equalsIgnoringCase(name, "Proxy-Authorization")) {
    return kRedacted;
  }
  return value;
}

std::string redactHeaderLine(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return line;
  size_t nameEnd = colon;
  while (nameEnd > 0 && (line[nameEnd - 1] == ' ' || line[nameEnd - 1] == '\t')) --nameEnd;
  const std::string name = line.substr(0, nameEnd);
  const std::string value = line.substr(colon + 1);
  const std::string shown = redactHeader(name, value);
  if (shown == value) return line;
  return line.substr(0, colon + 1) + " " + shown;
}

std::string redactUrlsIn(const std::string& text) {
  std::string shown = text;
  size_t from = 0;
  while (true) {
    const size_t scheme = shown.find("://", from);
    if (scheme == std::string::npos) break;
    // Only the first whitespace-free stretch after "://" is this URL's.
    const size_t begin = scheme + 3;
    size_t stop = shown.find_first_of(" \t\r\n\"'<>", begin);
    if (stop == std::string::npos) stop = shown.size();
    std::string url = shown.substr(begin, stop - begin);
    redactAuthorityAt(&url, 0);
    shown.replace(begin, stop - begin, url);
    from = begin + url.size();
  }
  return shown;
}

}  // namespace zephyl
