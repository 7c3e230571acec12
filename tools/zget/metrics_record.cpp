#include "metrics_record.h"

#include <cctype>
#include <cstdlib>

#include "diagnostics/redaction.h"

namespace zget {
namespace {

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
