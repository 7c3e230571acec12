// URLs and hosts of any content through the alternative-host rules: hostOf picks the authority a
// URL's chunks are mapped by, withHost moves a chunk to an alternative host. Checked: the two
// agree with each other (replacing the authority by itself changes nothing; the replaced URL
// names the new authority), and a URL that libcurl would fetch over HTTP(S) and that has an
// authority to look up, once moved, is fetched by libcurl from the alternative host with the same
// path and query: a retry asks the other host for the same resource.
// Input: the URL, then optionally a newline and the host to put in.
#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/http_chunk_client.h"
#include "fuzz_support.h"

namespace zephyl::fuzz {
namespace {

constexpr char kAlternativeHost[] = "backup.example.org";

struct CurlUrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlFree>;

// What libcurl makes of a URL, as it does for a transfer's CURLOPT_URL.
struct UrlParts {
  bool parsed = false;
  std::string scheme;
  std::string host;
  std::string path;
  std::string query;
};

std::string partOf(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return std::string();
  std::string value(text);
  curl_free(text);
  return value;
}

UrlParts curlParts(const std::string& text) {
  UrlParts parts;
  CurlUrl url(curl_url());
  FUZZ_CHECK(url != nullptr, "curl_url failed");
  if (text.find('\0') != std::string::npos) return parts;  // CURLOPT_URL is a C string
  if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return parts;
  parts.parsed = true;
  parts.scheme = partOf(url.get(), CURLUPART_SCHEME);
  parts.host = partOf(url.get(), CURLUPART_HOST);
  parts.path = partOf(url.get(), CURLUPART_PATH);
  parts.query = partOf(url.get(), CURLUPART_QUERY);
  return parts;
}

void checkTextRules(const std::string& url, const std::string& host) {
  const std::string authority = HttpChunkClient::hostOf(url);
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) {
    FUZZ_CHECK(authority.empty(), "an authority without \"://\"");
    FUZZ_CHECK(HttpChunkClient::withHost(url, host) == url, "a URL without \"://\" changed");
    return;
  }
  FUZZ_CHECK(authority.find_first_of("/?#") == std::string::npos,
             "the authority runs into the path, query or fragment");
  if (!authority.empty()) {
    FUZZ_CHECK(url.compare(scheme + 3, authority.size(), authority) == 0,
               "the authority is not the text after the first \"://\"");
  }
  FUZZ_CHECK(HttpChunkClient::withHost(url, authority) == url,
             "putting the URL's own authority in changed it");
  if (host.find_first_of("/?#") == std::string::npos && !authority.empty()) {
    const std::string moved = HttpChunkClient::withHost(url, host);
    FUZZ_CHECK(HttpChunkClient::hostOf(moved) == host, "the moved URL names another authority");
    FUZZ_CHECK(HttpChunkClient::withHost(moved, authority) == url, "moving back changed the URL");
  }
}

void checkWhereCurlGoes(const std::string& url) {
  // Only a URL whose authority is a key of the policy's host map is ever moved.
  if (HttpChunkClient::hostOf(url).empty()) return;
  const UrlParts original = curlParts(url);
  if (!original.parsed || (original.scheme != "http" && original.scheme != "https")) return;
  const std::string moved = HttpChunkClient::withHost(url, kAlternativeHost);
  const UrlParts parts = curlParts(moved);
  const std::string context = "\"" + url + "\" moved to \"" + moved + "\"";
  FUZZ_CHECK(parts.parsed, context + ": libcurl refuses it");
  FUZZ_CHECK(parts.host == kAlternativeHost, context + ": libcurl connects to " + parts.host);
  FUZZ_CHECK(parts.path == original.path,
             context + ": path " + original.path + " became " + parts.path);
  FUZZ_CHECK(parts.query == original.query,
             context + ": query \"" + original.query + "\" became \"" + parts.query + "\"");
}

}  // namespace
}  // namespace zephyl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zephyl::fuzz;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string url = input.substr(0, newline);
  const std::string host =
      newline == std::string::npos ? std::string(kAlternativeHost) : input.substr(newline + 1);
  checkTextRules(url, host);
  checkWhereCurlGoes(url);
  return 0;
}
