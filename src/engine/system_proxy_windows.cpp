#include <windows.h>
#include <winhttp.h>

#include <string>

#include "engine/proxy_route.h"
#include "engine/system_proxy.h"

namespace zephyl {
namespace {

std::wstring wideOf(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// WinHTTP's text (null: empty) as UTF-8; frees it, as WinHTTP asks of its callers.
std::string takeText(LPWSTR text) {
  if (text == nullptr) return std::string();
  std::string narrow;
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size > 1) {
    narrow.resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size - 1));
  }
  GlobalFree(text);
  return narrow;
}

// The user's Internet settings, as the control panel keeps them.
struct UserSettings {
  bool autoDetect = false;
  std::string configScriptUrl;
  std::string proxyList;
  std::string bypassList;
};

bool readUserSettings(UserSettings* settings) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  settings->autoDetect = config.fAutoDetect != FALSE;
  settings->configScriptUrl = takeText(config.lpszAutoConfigUrl);
  settings->proxyList = takeText(config.lpszProxy);
  settings->bypassList = takeText(config.lpszProxyBypass);
  return true;
}

// Bounds each step of automatic detection and of fetching a configuration script.
constexpr int kAutoProxyStepMs = 5000;

// The proxy list and bypass list that automatic detection or the configuration script name for
// url; false when neither gives an answer (the manual settings then hold).
bool askAutoProxy(const UserSettings& settings, const std::string& url, std::string* proxyList,
                  std::string* bypassList) {
  HINTERNET session = WinHttpOpen(L"libzephyl", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return false;
  WinHttpSetTimeouts(session, kAutoProxyStepMs, kAutoProxyStepMs, kAutoProxyStepMs,
                     kAutoProxyStepMs);
  const std::wstring scriptUrl = wideOf(settings.configScriptUrl);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (settings.autoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!scriptUrl.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info = {};
  const std::wstring wideUrl = wideOf(url);
  const bool answered = WinHttpGetProxyForUrl(session, wideUrl.c_str(), &options, &info) != FALSE;
  WinHttpCloseHandle(session);
  if (!answered) return false;
  std::string proxy = takeText(info.lpszProxy);
  std::string bypass = takeText(info.lpszProxyBypass);
  // A direct answer ("DIRECT" in the script) names no proxy.
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
    *proxyList = std::move(proxy);
    *bypassList = std::move(bypass);
  } else {
    proxyList->clear();
    bypassList->clear();
  }
  return true;
}

}  // namespace

SystemProxy systemProxyFor(const std::string& url) {
  SystemProxy system;  // no proxy, unless the user's settings name one
  UserSettings settings;
  if (!readUserSettings(&settings)) return system;
  std::string proxyList = settings.proxyList;
  std::string bypassList = settings.bypassList;
  if (settings.autoDetect || !settings.configScriptUrl.empty()) {
    std::string autoProxy;
    std::string autoBypass;
    if (askAutoProxy(settings, url, &autoProxy, &autoBypass)) {
      proxyList = autoProxy;
      bypassList = autoBypass;
    }
  }
  bool local = false;
  system.noProxy = noProxyOfWinHttpBypass(bypassList, &local);
  // "<local>" covers names without a dot, which libcurl's list cannot say: told here, per URL.
  if (local && isLocalHost(urlHostOf(url))) return system;
  system.proxy = proxyOfWinHttpList(proxyList, urlSchemeOf(url));
  return system;
}

}  // namespace zephyl
