// The system's proxy for a URL, per platform (system_proxy_posix.cpp: libcurl's environment
// variables; system_proxy_windows.cpp: the user's proxy settings through WinHTTP). Any thread;
// may take as long as a configuration script or automatic detection takes, so never call it
// under a lock.
#pragma once

#include <string>

namespace zephyl {

struct SystemProxy {
  // libcurl reads the system's proxy itself (its environment variables): proxy is unused.
  bool libcurlReadsEnvironment = false;
  std::string proxy;    // otherwise: the proxy URL for the download, libcurl's form; empty: none
  std::string noProxy;  // the system's bypass list in libcurl's syntax; empty: none
};

// The system's proxy for a download of url.
SystemProxy systemProxyFor(const std::string& url);

}  // namespace zephyl
