#include "naming.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform.h"
#include "utf8_path.h"
#include "zephyl/zp_file_names.h"

namespace zget {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path part of a URL: after the authority, before any query or fragment.
std::string urlPath(const std::string& url) {
  std::string rest = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    const size_t path = rest.find('/', scheme + 3);
    return path == std::string::npos ? std::string() : rest.substr(path);
  }
  return rest;
}

}  // namespace

std::string percentDecode(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    decoded += text[i];
  }
  return decoded;
}

std::string safeFileName(const std::string& name) {
  return zpSafeFileName(name, kFallbackFileName);
}

std::string safeRelativePath(const std::string& path, bool namesFile) {
  std::string safe;
  size_t begin = 0;
  for (;;) {
    const size_t end = path.find_first_of("/\\", begin);
    const bool last = end == std::string::npos;
    const std::string component = path.substr(begin, last ? std::string::npos : end - begin);
    // A directory of dots and spaces alone ("." or "...") names none; the file's own name falls
    // back instead.
    if ((last && namesFile) || component.find_first_not_of(". ") != std::string::npos) {
      if (!safe.empty()) safe += '/';
      safe += safeFileName(component);
    }
    if (last) return safe;
    begin = end + 1;
  }
}

std::string fileNameFromUrl(const std::string& url) {
  const std::string path = urlPath(url);
  const size_t slash = path.rfind('/');
  return safeFileName(percentDecode(slash == std::string::npos ? path : path.substr(slash + 1)));
}

namespace {

// The value of parameter key (lower case) in a header's "; key=value" list: a quoted string
// (unescaped) or a token; found: false when the header has no such parameter.
bool headerParameter(const std::string& header, const std::string& key, std::string* value) {
  size_t at = header.find(';');
  while (at != std::string::npos) {
    size_t begin = at + 1;
    while (begin < header.size() && (header[begin] == ' ' || header[begin] == '\t')) ++begin;
    const size_t equals = header.find('=', begin);
    if (equals == std::string::npos) return false;
    std::string name = header.substr(begin, equals - begin);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t i = equals + 1;
    std::string text;
    if (i < header.size() && header[i] == '"') {
      for (++i; i < header.size() && header[i] != '"'; ++i) {
        if (header[i] == '\\' && i + 1 < header.size()) ++i;
        text += header[i];
      }
    } else {
      for (; i < header.size() && header[i] != ';'; ++i) text += header[i];
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    }
    if (name == key) {
      *value = text;
      return true;
    }
    at = header.find(';', i);
  }
  return false;
}

}  // namespace

std::string fileNameFromContentDisposition(const std::string& header) {
  std::string name;
  std::string extended;
  // RFC 5987's "filename*=UTF-8''%e2%82%ac.txt" is preferred over the plain parameter.
  if (headerParameter(header, "filename*", &extended)) {
    const size_t quote = extended.find("''");
    std::string charset = extended.substr(0, extended.find('\''));
    for (char& c : charset) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (quote != std::string::npos && charset == "utf-8") {
      name = percentDecode(extended.substr(quote + 2));
    }
  }
  if (name.empty() && !headerParameter(header, "filename", &name)) return std::string();
  // Only the last component: a suggested name never chooses the directory.
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  // Dots and spaces alone ("..", ". .") leave nothing to name a file by: the URL's name stays.
  if (name.find_first_not_of(". ") == std::string::npos) return std::string();
  return safeFileName(name);
}

bool staysInside(const std::string& path, bool namesFile, std::string* reason) {
  if (path.empty()) {
    *reason = "empty path";
    return false;
  }
  if (path[0] == '/' || path[0] == '\\') {
    *reason = "an absolute path";
    return false;
  }
  // A colon in the first component may name a drive on Windows ("C:\\x", or "C:x" in that
  // drive's current directory), which leaves the directory; refused on every system alike.
  const size_t colon = path.find(':');
  if (colon != std::string::npos && colon < path.find_first_of("/\\")) {
    *reason = "a drive";
    return false;
  }
  // "\" separates too: the library reads it as "/".
  size_t begin = 0;
  std::string last;
  while (begin <= path.size()) {
    size_t end = path.find_first_of("/\\", begin);
    if (end == std::string::npos) end = path.size();
    last = path.substr(begin, end - begin);
    if (last == "..") {
      *reason = "a \"..\" component";
      return false;
    }
    begin = end + 1;
  }
  if (namesFile && (last.empty() || last == ".")) {
    *reason = "a directory, not a file name";
    return false;
  }
  return true;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || (!name.empty() && pathFromUtf8(name).has_root_path())) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string numberedName(const std::string& path, int n) {
  const size_t slash = path.find_last_of("/\\");
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  const std::string number = "(" + std::to_string(n) + ")";
  // A dot that starts the name (".profile") or sits in a directory is no extension.
  if (dot == std::string::npos || dot <= nameStart) return path + number;
  return path.substr(0, dot) + number + path.substr(dot);
}

std::string cacheRootDir() {
  const std::string base = platform::userCacheBase();
  if (base.empty()) return std::string();
  return joinPath(base, "zephyl");
}

bool NameBook::isTaken(const std::string& path, bool ignoringCase) const {
  if (taken_.count(path) != 0) return true;
  return ignoringCase && takenFolded_.count(platform::caseFolded(path)) != 0;
}

std::string NameBook::claim(const std::string& path, bool ignoringCase, std::string* caseTwin) {
  if (caseTwin != nullptr) caseTwin->clear();
  if (ignoringCase && caseTwin != nullptr && taken_.count(path) == 0) {
    const auto twin = takenFolded_.find(platform::caseFolded(path));
    if (twin != takenFolded_.end()) *caseTwin = twin->second;
  }
  std::string candidate = path;
  for (int n = 1; isTaken(candidate, ignoringCase); ++n) candidate = numberedName(path, n);
  taken_.insert(candidate);
  takenFolded_.emplace(platform::caseFolded(candidate), candidate);
  return candidate;
}

}  // namespace zget
