// The settings of the download manager of one zget run, made from its command line. Pure
// function; thread-safe. Inline: the library's records it fills come from whichever build of the
// library the including program links (the shared one for zget, the static one for tests).
#pragma once

#include <string>

#include "naming.h"
#include "options.h"
#include "platform.h"
#include "zephyl/zp_setting.h"

namespace zget {

// The manager's settings for options, storing unfinished downloads below cacheRoot and
// finished ones in the -d directory made absolute. Values the command line leaves unset keep
// the library's defaults; TLS verification stays on unless --insecure.
inline ZPSetting makeSetting(const ToolOptions& options, const std::string& cacheRoot) {
  ZPSetting setting(cacheRoot, platform::absolutePath(options.outputDir));
  if (options.connections) setting.threadNum = *options.connections;
  if (options.blockSize) setting.blockSize = *options.blockSize;
  if (options.downloadsAtOnce) setting.taskThreadNum = *options.downloadsAtOnce;
  if (options.noWriteOut) setting.writeOutBeforeDelivery = false;
  if (options.progressSaveIntervalMs) {
    setting.progressSaveIntervalMs = *options.progressSaveIntervalMs;
  }
  // Finished files carry the server's Last-Modified, as wget and curl -R leave them.
  setting.keepServerTime = !options.noServerTime;
  setting.maxBytesPerSecond = options.maxOverallRate;
  ZPHttpPolicy& http = setting.httpPolicy;
  if (options.timeoutMs) http.timeoutMs = *options.timeoutMs;
  if (options.connectTimeoutMs) http.connectTimeoutMs = *options.connectTimeoutMs;
  if (options.maxTries) http.executeRetryCount = *options.maxTries - 1;
  if (options.retryWaitMs) http.retryDelayMs = *options.retryWaitMs;
  if (options.readTimeoutMs) http.stallTimeoutMs = *options.readTimeoutMs;
  if (options.httpRetries) http.serverErrorRetryCount = *options.httpRetries;
  if (options.netRetries) http.netErrorRetryCount = *options.netRetries;
  http.repeatLastingFailures = options.retryAllErrors;
  if (options.maxRedirects) http.maxRedirects = *options.maxRedirects;
  http.domainMap = options.mirrors;
  if (!options.caCertificate.empty()) {
    http.caCertificatePath = platform::absolutePath(options.caCertificate);
  }
  if (options.insecure) http.verifyTls = false;
  http.headers = options.headers;
  if (options.userAgent) http.userAgent = *options.userAgent;
  if (!options.cookieFile.empty()) http.cookieFile = platform::absolutePath(options.cookieFile);
  http.proxy = options.proxy;
  http.noProxy = options.noProxyList;
  if (options.noProxyAtAll) http.useSystemProxy = false;
  setting.cachePolicy.maxSize = options.cacheMaxSize;
  setting.cachePolicy.maxCount = options.cacheMaxCount;
  setting.cachePolicy.cacheExpiredTime = options.cacheMaxAgeMs;
  return setting;
}

}  // namespace zget
