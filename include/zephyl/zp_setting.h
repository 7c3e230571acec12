// Settings of a download manager: HTTP policy, cache policy, thread counts, chunk size and the two
// directories. Plain values, read when a manager is built and when each download starts.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zephyl/export.h"

class ZEPHYL_EXPORT ZPHttpPolicy {
 public:
  ZPHttpPolicy();
  ZPHttpPolicy(const ZPHttpPolicy&);
  ZPHttpPolicy(ZPHttpPolicy&&) noexcept;
  ZPHttpPolicy& operator=(const ZPHttpPolicy&);
  ZPHttpPolicy& operator=(ZPHttpPolicy&&) noexcept;
  ~ZPHttpPolicy();

  int32_t timeoutMs = 0;             // whole transfer of one chunk request; 0: no limit
  int32_t connectTimeoutMs = 10000;
  int32_t serverErrorRetryCount = 1;  // same-host retries of a chunk after an HTTP status failure
  int32_t netErrorRetryCount = 2;     // same-host retries of a chunk after a network failure
  int32_t executeRetryCount = 1;      // whole-download repeats; at most this + 1 attempts
  int32_t retryDelayMs = 5000;        // pause before a repeat; 0 or less: none
  // Host (URL authority) -> alternative hosts a failing chunk moves to, in list order.
  std::unordered_map<std::string, std::vector<std::string>> domainMap;
  // TLS: the peer's certificate and host name are verified against the system's trust store, or
  // against caCertificatePath (a PEM file, or a directory of hashed certificates) when it is set;
  // a set path replaces the system's store. verifyTls = false accepts any certificate: only for
  // hosts that cannot be verified otherwise. A refused certificate fails the chunk request as a
  // network error (libcurl's code as the extra code, its reason as the message).
  std::string caCertificatePath;
  bool verifyTls = true;
  // A chunk request that receives no byte (header or body) for this long fails as a network
  // error and goes through the retry and host rules; measured in milliseconds, whatever the
  // request waits for (connection, TLS handshake, answer, next body bytes). 0 or less: no limit.
  int32_t stallTimeoutMs = 60000;
  // Redirects followed by one request at most (0: none); one more fails the request with
  // libcurl's too-many-redirects error. Below 0: no limit. Redirects lead to http and https only.
  int32_t maxRedirects = 20;
  // true (the default): every failure goes through the retry rules above (a range retried by its
  // counters, the download repeated after retryDelayMs), whatever it was. false: a failure that
  // no repeat can change ends the download at once: an HTTP status 4xx other than 408 and 429, a
  // certificate that is not trusted, a host name that does not exist (a resolver that does not
  // answer in time is no such proof), too many redirects. Network errors, 5xx, 408 and 429 are
  // repeated as before; a 429 or 503 that says Retry-After is not retried at once: the download
  // is repeated after what it asks for, at most maxRetryAfterMs (and at least retryDelayMs).
  bool repeatLastingFailures = true;
  int32_t maxRetryAfterMs = 120000;
  // Sent as the User-Agent of every request; empty: none. Set by the constructor to
  // "libzephyl/<version>".
  std::string userAgent;
  // Headers added to every request of the manager, in order, as (name, value). A header of the
  // same name (in any case) that a request adds replaces one of these; one of these replaces a
  // header the library would send (User-Agent, Accept); an empty value sends no such header at
  // all. Range and If-Range are the library's own and are refused, as are names that are not
  // HTTP tokens and values with CR, LF or NUL: a request of a manager with such a header fails
  // with ZPResponse::ILLEGAL_HEADER. Authorization and Cookie never follow a redirect to another
  // host (or port or scheme).
  std::vector<std::pair<std::string, std::string>> headers;
  // Proxy URL every request goes through: "http://host:port", "https://", "socks4://",
  // "socks4a://", "socks5://" or "socks5h://" (the proxy resolves the host names), with
  // "user:password@" before the host for the proxy's credentials (percent-encoded); without a
  // scheme, an HTTP proxy. Empty: the system's proxy when useSystemProxy is set, else none. A URL
  // of another scheme, or one with CR, LF or NUL, fails every request of the manager with
  // ZPResponse::ILLEGAL_PROXY before any connection. Credentials are never shown in logs.
  std::string proxy;
  // Comma-separated hosts reached without a proxy, in libcurl's no-proxy syntax: "example.com"
  // also covers its subdomains, an address may carry a "/bits" network suffix, "*" alone covers
  // every host. Used with proxy, and added to the system's own bypass list otherwise.
  std::string noProxy;
  // With an empty proxy: true takes the system's proxy, read once per download (Linux: libcurl's
  // environment variables http_proxy, https_proxy, all_proxy and no_proxy; Windows: the user's
  // proxy settings through WinHTTP, the manual proxy and its bypass list, or the proxy that
  // automatic detection or a configuration script names for the download's URL). false: no proxy.
  bool useSystemProxy = true;
  // A cookie file read before every request (the Netscape format that curl and wget read and
  // write: one tab-separated line per cookie; a file of "Set-Cookie:" lines also serves). Each
  // cookie goes only where its domain, path and secure flag allow, on redirects too, and cookies
  // the server sets during a download are kept for that download's later requests; the file is
  // never written. A file that cannot be read sends no cookie. Empty (the default): no cookies.
  std::string cookieFile;
};

class ZEPHYL_EXPORT ZPCachePolicy {
 public:
  ZPCachePolicy() = default;

  int64_t maxSize = 104857600;    // total bytes of cached downloads; 0 or less: no size rule
  int32_t maxCount = 100;         // cached downloads; below 1: no count rule
  int64_t cacheExpiredTime = -1;  // entry lifetime in ms from the data file's mtime; <= 0: never
};

class ZEPHYL_EXPORT ZPSetting {
 public:
  // The storage root comes first, the save directory second.
  ZPSetting(const std::string& rootDir, const std::string& saveDirPath);
  ZPSetting(const ZPSetting&);
  ZPSetting(ZPSetting&&) noexcept;
  ZPSetting& operator=(const ZPSetting&);
  ZPSetting& operator=(ZPSetting&&) noexcept;
  ~ZPSetting();

  ZPHttpPolicy httpPolicy;
  ZPCachePolicy cachePolicy;
  // Queued requests transferring at once; as many more may be writing their finished files out
  // and delivering them meanwhile.
  int32_t taskThreadNum = 2;
  // The most chunk transfers one download runs at once. A download starts with one and opens
  // another only while splitting pays: while the time left at the rate measured so far exceeds
  // splitThresholdMs, and as long as the last transfer added raised the total rate appreciably.
  int32_t threadNum = 4;
  int32_t splitThresholdMs = 2000;  // see threadNum; 0 or less: open threadNum transfers at once
  int64_t blockSize = 2097152;      // chunk size in bytes
  // A finished file's data is written to the disk before it is renamed into place, so that a
  // crash never leaves an empty or short file under the delivered name. false skips that wait,
  // for files consumed at once or kept in a scratch directory. Progress records keep their own
  // ordering either way: they never claim bytes that are not on the disk.
  bool writeOutBeforeDelivery = true;
  // A delivered file takes the server's Last-Modified date as its modification time (when the
  // answer had a readable one); false leaves it the time of delivery.
  bool keepServerTime = false;
  // While bytes arrive, a resumable download's progress record is also replaced (its data synced
  // to the disk first) once this many milliseconds have passed since the last one, whatever the
  // block size: a process killed at any moment loses at most the bytes of that time. 0 or less:
  // records only as blocks finish (and at the end of the run).
  int32_t progressSaveIntervalMs = 2000;
  // Rate limit in bytes per second for all the manager's downloads together; 0 or less: none.
  // Changeable while downloads run with Zephyl::setMaxBytesPerSecond.
  int64_t maxBytesPerSecond = 0;
  std::string saveDirPath;      // where finished files go when a request names no savePath
  std::string rootDir;          // storage root: "<rootDir>/temp" and "<rootDir>/lruCache"
};
