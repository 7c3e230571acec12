// The proxy of a download: what libcurl is told about proxies on every request of it, decided
// once per download from the policy and the system's settings, so that every range and every
// retry goes the same way. Also the translation of the system's proxy lists (WinHTTP's formats)
// into libcurl's. Pure functions and plain values, any thread; proxyRouteOf alone asks the system.
#pragma once

#include <string>

#include "zephyl/zp_setting.h"

namespace zephyl {

struct ProxyRoute {
  bool setProxy = false;  // false: libcurl's own default (its proxy environment variables)
  std::string proxy;      // with setProxy: the proxy URL; empty: no proxy at all
  bool setNoProxy = false;  // false: libcurl's own default (the no_proxy environment variable)
  std::string noProxy;      // with setNoProxy: libcurl's bypass list; empty: no host bypasses
};

// Why the policy's proxy or bypass list cannot be used, or empty when they can: a proxy URL of a
// scheme other than http, https, socks4, socks4a, socks5 or socks5h, a CR, LF or NUL in either.
// The reason never quotes the proxy URL: it may carry a password.
std::string proxyRefusal(const ZPHttpPolicy& policy);

// The route of a download of url: the policy's proxy and bypass list when a proxy is set;
// otherwise the system's proxy (see systemProxyFor) with the policy's bypass list added when
// useSystemProxy is set; otherwise none. May ask the system (a configuration script, automatic
// detection: network calls), so it runs on a worker, never under a lock.
ProxyRoute proxyRouteOf(const ZPHttpPolicy& policy, const std::string& url);

// Two comma-separated bypass lists as one; "*" in either (libcurl knows it only alone) is "*".
std::string joinedNoProxy(const std::string& first, const std::string& second);

// The proxy URL a WinHTTP proxy list names for a download of the scheme ("http", "https"):
// the list holds entries separated by ';' or white space, each "host:port" (every scheme),
// "scheme=host:port" or either with "scheme://" before the host. An entry for the scheme wins,
// then one for every scheme, then a "socks=" one (SOCKS 4, as Windows speaks it). Empty: none.
std::string proxyOfWinHttpList(const std::string& list, const std::string& scheme);

// A WinHTTP bypass list (entries separated by ';', ',' or white space; "*.example.com",
// "10.*", "<local>") in libcurl's syntax. "<local>" sets *local (hosts without a dot, which
// libcurl cannot express, are the caller's to tell; see isLocalHost) and adds the loopback names.
// Patterns libcurl cannot express (a '*' inside a name) are left out.
std::string noProxyOfWinHttpBypass(const std::string& bypass, bool* local);

// Whether "<local>" covers the host: a name without a dot, or a loopback name or address.
bool isLocalHost(const std::string& host);

// The host of a URL (no user information, port or brackets), lower-cased; empty without one.
std::string urlHostOf(const std::string& url);

// The scheme of a URL, lower-cased; "http" when it has none (libcurl's guess for such a URL).
std::string urlSchemeOf(const std::string& url);

}  // namespace zephyl
