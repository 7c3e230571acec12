#include <cstdlib>
#include <string>

#include "engine/system_proxy.h"

namespace zephyl {

SystemProxy systemProxyFor(const std::string& /*url*/) {
  SystemProxy system;
  // libcurl reads http_proxy, https_proxy, all_proxy and no_proxy (and their upper-case forms)
  // on every request by itself; the bypass list is read here only so that a setting's list can
  // be added to it rather than replace it.
  system.libcurlReadsEnvironment = true;
  const char* list = std::getenv("no_proxy");
  if (list == nullptr || *list == '\0') list = std::getenv("NO_PROXY");
  if (list != nullptr) system.noProxy = list;
  return system;
}

}  // namespace zephyl
