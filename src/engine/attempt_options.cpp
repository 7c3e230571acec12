#include "engine/attempt_options.h"

#include <algorithm>

namespace zephyl {
namespace {

// Eight times libcurl's default: a transfer now runs over many chunks, and 1 GiB on loopback
// took 8.9 thousand reads instead of 32.8 thousand with 32 KiB. (With one short request per
// chunk, 64 KiB and more once made answers stall now and then for a delayed-ACK period; 100
// files of 256 KiB fetched one after another show no such stall with this size.)
constexpr long kReceiveBufferBytes = 128 * 1024;

// Whom a TLS peer must prove itself to. A set trust path replaces the system's trust store: a
// file of PEM certificates, or a directory of certificates under their hashed names.
CURLcode setTrust(CURL* handle, const ZPHttpPolicy& policy, bool trustPathIsDirectory) {
  if (!policy.verifyTls) {
    CURLcode code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    return code == CURLE_NOT_BUILT_IN ? CURLE_OK : code;  // a TLS library without https:// proxies
  }
  CURLcode code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string& path = policy.caCertificatePath;
  // An https:// proxy proves itself against the same trust as the servers.
  if (code == CURLE_OK && !path.empty() && !trustPathIsDirectory) {
    code = curl_easy_setopt(handle, CURLOPT_PROXY_CAINFO, path.c_str());
    if (code == CURLE_NOT_BUILT_IN) code = CURLE_OK;  // a TLS library without https:// proxies
  }
  if (code != CURLE_OK || path.empty()) return code;  // libcurl's default: the system's store
  const char* file = trustPathIsDirectory ? nullptr : path.c_str();
  const char* directory = trustPathIsDirectory ? path.c_str() : nullptr;
  code = curl_easy_setopt(handle, CURLOPT_CAINFO, file);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_CAPATH, directory);
  // A TLS library without certificate directories (Schannel) refuses CURLOPT_CAPATH even when
  // cleared; it then has no directory to clear, and a set file alone decides.
  if (code == CURLE_NOT_BUILT_IN && directory == nullptr) code = CURLE_OK;
  return code;
}

// HTTP authentication by user and password. With CURLOPT_UNRESTRICTED_AUTH off, libcurl sends
// the credentials to the URL's own host, port and scheme only, never to another one a redirect
// leads to; since 7.83 it also leaves the host's own Authorization and Cookie headers out there.
CURLcode setCredentials(CURL* handle, const RequestIdentity* identity) {
  if (identity == nullptr || identity->userName.empty()) return CURLE_OK;
  unsigned long methods = 0;
  if ((identity->authMethods & ZPRequest::AUTH_BASIC) != 0) methods |= CURLAUTH_BASIC;
  if ((identity->authMethods & ZPRequest::AUTH_DIGEST) != 0) methods |= CURLAUTH_DIGEST;
  if (methods == 0) methods = CURLAUTH_BASIC | CURLAUTH_DIGEST;
  CURLcode code = curl_easy_setopt(handle, CURLOPT_USERNAME, identity->userName.c_str());
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_PASSWORD, identity->password.c_str());
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HTTPAUTH, methods);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_UNRESTRICTED_AUTH, 0L);
  return code;
}

// The download's proxy and bypass list; libcurl's defaults (its environment variables) where the
// route sets none. Credentials in the proxy URL go to the proxy as Basic authentication.
CURLcode setProxy(CURL* handle, const ProxyRoute* route) {
  if (route == nullptr) return CURLE_OK;
  CURLcode code = CURLE_OK;
  if (route->setProxy) code = curl_easy_setopt(handle, CURLOPT_PROXY, route->proxy.c_str());
  if (code == CURLE_OK && route->setNoProxy) {
    code = curl_easy_setopt(handle, CURLOPT_NOPROXY, route->noProxy.c_str());
  }
  return code;
}

// The cookie file's cookies, through libcurl's cookie engine: it sends each one only where its
// domain, path and secure flag allow, redirects included, and keeps what the server sets for the
// handle's later requests. Nothing is written back to the file.
CURLcode setCookies(CURL* handle, const ZPHttpPolicy& policy) {
  if (policy.cookieFile.empty()) return CURLE_OK;
  return curl_easy_setopt(handle, CURLOPT_COOKIEFILE, policy.cookieFile.c_str());
}

}  // namespace

// The attempt's header lines: If-Range when the stored bytes have a validator, then the
// request's own lines.
CURLcode buildHeaders(const AttemptSetup& setup, HeaderList& headers) {
  if (!setup.ifRange.empty() && !headers.add("If-Range: " + setup.ifRange)) {
    return CURLE_OUT_OF_MEMORY;
  }
  if (setup.identity == nullptr) return CURLE_OK;
  for (const std::string& line : setup.identity->headerLines) {
    if (!headers.add(line)) return CURLE_OUT_OF_MEMORY;
  }
  return CURLE_OK;
}

CURLcode setAttemptOptions(CURL* handle, const AttemptSetup& setup, const HeaderList& headers,
                           const AttemptCallbacks& callbacks) {
  const std::string& url = setup.url;
  const std::string& range = setup.range;
  const ZPHttpPolicy& policy = *setup.policy;
  const long timeoutMs = std::max<long>(0, policy.timeoutMs);
  const long connectTimeoutMs = std::max<long>(0, policy.connectTimeoutMs);
  // libcurl takes -1 for no limit and 0 for no redirect at all.
  const long maxRedirects = policy.maxRedirects < 0 ? -1L : static_cast<long>(policy.maxRedirects);
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
  }
  // No signal handlers swapped around every transfer: the resolver runs in a thread of its own,
  // so no alarm is needed for its timeout, and the transfer loop blocks SIGPIPE on its thread.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_MAXREDIRS, maxRedirects);
  // A server may send us elsewhere over HTTP(S) only, never to another protocol.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, callbacks.body);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, callbacks.data);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, callbacks.header);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_HEADERDATA, callbacks.data);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, callbacks.progress);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, callbacks.data);
  if (code == CURLE_OK) code = setTrust(handle, policy, setup.trustPathIsDirectory);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, callbacks.errorText);
  // A larger receive buffer than libcurl's: fewer reads, writes and progress calls per byte on
  // fast links; it changes nothing a caller can observe but the size of each block.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  if (code == CURLE_OK && headers.get() != nullptr) {
    code = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  }
  if (code == CURLE_OK) code = setCredentials(handle, setup.identity);
  if (code == CURLE_OK) code = setProxy(handle, setup.proxy);
  if (code == CURLE_OK) code = setCookies(handle, policy);
  return code;
}


}  // namespace zephyl
