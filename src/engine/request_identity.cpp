#include "engine/request_identity.h"

#include <cstring>
#include <utility>

namespace zephyl {
namespace {

// The characters of an HTTP token besides letters and digits.
bool isTokenCharacter(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool sameName(const std::string& left, const std::string& right) {
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    const auto a = static_cast<unsigned char>(left[i]);
    const auto b = static_cast<unsigned char>(right[i]);
    if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b)) return false;
  }
  return true;
}

bool hasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Adds the header, or replaces the value of one of the same name in place.
void put(std::vector<std::pair<std::string, std::string>>& headers, const std::string& name,
         const std::string& value) {
  for (auto& header : headers) {
    if (sameName(header.first, name)) {
      header.second = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

}  // namespace

std::string headerRefusal(const std::string& name, const std::string& value) {
  if (name.empty()) return "header refused: empty name";
  for (char c : name) {
    if (!isTokenCharacter(static_cast<unsigned char>(c))) {
      return "header refused: name is not an HTTP token";
    }
  }
  // The library asks for ranges and resumes them under the stored validator; a host's Range or
  // If-Range would have it store bytes at places they do not belong.
  if (sameName(name, "Range") || sameName(name, "If-Range")) {
    return "header refused: " + name + " is set by the library";
  }
  if (hasLineBreak(value)) return "header refused: value of " + name + " has a line break";
  return std::string();
}

std::string identityRefusal(const ZPHttpPolicy& policy, const ZPRequest& request) {
  if (hasLineBreak(policy.userAgent)) return "header refused: user agent has a line break";
  for (const auto& header : policy.headers) {
    std::string refusal = headerRefusal(header.first, header.second);
    if (!refusal.empty()) return refusal;
  }
  for (const auto& header : request.headers) {
    std::string refusal = headerRefusal(header.first, header.second);
    if (!refusal.empty()) return refusal;
  }
  // The user name is quoted into a digest answer as it is.
  if (hasLineBreak(request.userName)) return "credentials refused: user name has a line break";
  return std::string();
}

RequestIdentity identityOf(const ZPHttpPolicy& policy, const ZPRequest& request) {
  std::vector<std::pair<std::string, std::string>> headers;
  if (!hasLineBreak(policy.userAgent)) headers.emplace_back("User-Agent", policy.userAgent);
  for (const auto& header : policy.headers) {
    if (headerRefusal(header.first, header.second).empty())
      put(headers, header.first, header.second);
  }
  for (const auto& header : request.headers) {
    if (headerRefusal(header.first, header.second).empty())
      put(headers, header.first, header.second);
  }
  RequestIdentity identity;
  for (const auto& header : headers) {
    // "Name:" alone removes a header libcurl would add itself and sends none.
    identity.headerLines.push_back(header.second.empty() ? header.first + ":"
                                                         : header.first + ": " + header.second);
  }
  if (!hasLineBreak(request.userName)) {
    identity.userName = request.userName;
    identity.password = request.password;
    identity.authMethods = request.authMethods;
  }
  return identity;
}

}  // namespace zephyl
