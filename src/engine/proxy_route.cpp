#include "engine/proxy_route.h"

#include <cctype>
#include <string>
#include <vector>

#include "engine/system_proxy.h"

namespace zephyl {
namespace {

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool hasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The pieces of text between any of the separators, without empty ones.
std::vector<std::string> split(const std::string& text, const char* separators) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// "10.*", "192.168.*": a dotted prefix of IPv4 numbers as a network, "10.0.0.0/8"; empty when
// the pattern is not one.
std::string networkOfPrefix(const std::string& pattern) {
  if (pattern.size() < 3 || pattern.compare(pattern.size() - 2, 2, ".*") != 0) return {};
  const std::vector<std::string> parts = split(pattern.substr(0, pattern.size() - 2), ".");
  if (parts.empty() || parts.size() > 3) return {};
  std::string network;
  for (const std::string& part : parts) {
    if (part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) return {};
    if (std::stoi(part) > 255) return {};
    network += part + ".";
  }
  for (size_t i = parts.size(); i < 4; ++i) network += "0.";
  network.pop_back();
  return network + "/" + std::to_string(parts.size() * 8);
}

// One WinHTTP bypass entry in libcurl's syntax, or empty when libcurl cannot express it.
std::string noProxyEntryOf(std::string entry) {
  // A scheme before the host ("http://example.com") limits the entry to that scheme in WinHTTP;
  // libcurl's list has no schemes, so it bypasses every scheme here.
  const size_t schemeEnd = entry.find("://");
  if (schemeEnd != std::string::npos) entry.erase(0, schemeEnd + 3);
  if (entry == "*") return entry;
  // libcurl matches a name and every name below it: "*.example.com" as "example.com" covers
  // example.com itself too, which a host that names its subdomains so rarely means to exclude.
  if (entry.compare(0, 2, "*.") == 0) entry.erase(0, 2);
  if (entry.find('*') == std::string::npos) return entry;
  // TODO: wildcards inside a name ("*example*") have no libcurl form; such entries are dropped.
  return networkOfPrefix(entry);
}

}  // namespace

std::string proxyRefusal(const ZPHttpPolicy& policy) {
  if (hasLineBreak(policy.proxy)) return "proxy refused: the proxy URL has a line break";
  if (hasLineBreak(policy.noProxy)) return "proxy refused: the bypass list has a line break";
  const size_t schemeEnd = policy.proxy.find("://");
  if (schemeEnd == std::string::npos) return {};  // "host:port": an HTTP proxy, as libcurl reads it
  const std::string scheme = lowered(policy.proxy.substr(0, schemeEnd));
  for (const char* known : {"http", "https", "socks4", "socks4a", "socks5", "socks5h"}) {
    if (scheme == known) return {};
  }
  // The scheme alone is named: it never holds a credential, and the URL may.
  return "proxy refused: unsupported proxy scheme \"" + scheme + "\"";
}

std::string joinedNoProxy(const std::string& first, const std::string& second) {
  std::string joined;
  for (const std::string* list : {&first, &second}) {
    for (const std::string& entry : split(*list, ", \t")) {
      if (entry == "*") return "*";
      joined += joined.empty() ? entry : "," + entry;
    }
  }
  return joined;
}

ProxyRoute proxyRouteOf(const ZPHttpPolicy& policy, const std::string& url) {
  ProxyRoute route;
  if (!policy.proxy.empty() || !policy.useSystemProxy) {
    // The setting alone decides: an empty list is set too, so that no environment variable
    // adds to it.
    route.setProxy = true;
    route.proxy = policy.proxy;
    route.setNoProxy = true;
    route.noProxy = joinedNoProxy(policy.noProxy, std::string());
    return route;
  }
  const SystemProxy system = systemProxyFor(url);
  route.setProxy = !system.libcurlReadsEnvironment;
  route.proxy = system.proxy;
  // Left to libcurl when neither list has anything: it reads its own environment then.
  route.noProxy = joinedNoProxy(system.noProxy, policy.noProxy);
  route.setNoProxy = route.setProxy || !policy.noProxy.empty();
  return route;
}

std::string proxyOfWinHttpList(const std::string& list, const std::string& scheme) {
  std::string forScheme;
  std::string forAll;
  std::string socks;
  for (const std::string& entry : split(list, "; \t\r\n")) {
    const size_t equals = entry.find('=');
    const std::string name = equals == std::string::npos ? "" : lowered(entry.substr(0, equals));
    const std::string address = equals == std::string::npos ? entry : entry.substr(equals + 1);
    if (address.empty()) continue;
    const bool hasScheme = address.find("://") != std::string::npos;
    if (name.empty() && forAll.empty()) {
      forAll = hasScheme ? address : "http://" + address;
    } else if (name == scheme && forScheme.empty()) {
      forScheme = hasScheme ? address : "http://" + address;
    } else if (name == "socks" && socks.empty()) {
      socks = hasScheme ? address : "socks4://" + address;
    }
  }
  if (!forScheme.empty()) return forScheme;
  return forAll.empty() ? socks : forAll;
}

std::string noProxyOfWinHttpBypass(const std::string& bypass, bool* local) {
  *local = false;
  std::string list;
  for (const std::string& entry : split(bypass, ";, \t\r\n")) {
    std::string translated;
    if (lowered(entry) == "<local>") {
      *local = true;
      translated = "localhost,127.0.0.0/8,::1";
    } else {
      translated = noProxyEntryOf(entry);
    }
    if (translated == "*") return translated;
    if (!translated.empty()) list += list.empty() ? translated : "," + translated;
  }
  return list;
}

bool isLocalHost(const std::string& host) {
  if (host.empty()) return false;
  if (host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0) return true;
  return host.find('.') == std::string::npos && host.find(':') == std::string::npos;
}

std::string urlHostOf(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    return lowered(authority.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  }
  return lowered(authority.substr(0, authority.find(':')));
}

std::string urlSchemeOf(const std::string& url) {
  const size_t end = url.find("://");
  return end == std::string::npos ? "http" : lowered(url.substr(0, end));
}

}  // namespace zephyl
