#include "engine/curl_easy.h"

#include <mutex>

namespace zephyl {
namespace {

// curl_global_init is not thread-safe and must precede the first easy handle; it runs once.
bool initCurlOnce() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

// A cookie file named to a handle is read when its transfer starts; one named to a transfer that
// never started (cancelled first) would stay listed and leak with the handle, and a reset does not
// free it either. Clearing the list first frees it (and the handle's cookies, which go with it).
void forgetCookieFiles(CURL* handle) {
  // Clearing cannot fail; there is nothing to do about it in a destructor anyway.
  (void)curl_easy_setopt(handle, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
}

}  // namespace

CurlEasy::~CurlEasy() {
  if (handle_ == nullptr) return;
  forgetCookieFiles(handle_);
  curl_easy_cleanup(handle_);
}

bool CurlEasy::open() {
  if (handle_ != nullptr) return true;
  if (!initCurlOnce()) return false;
  handle_ = curl_easy_init();
  return handle_ != nullptr;
}

bool CurlEasy::renew() {
  if (handle_ != nullptr) {
    forgetCookieFiles(handle_);
    curl_easy_cleanup(handle_);
  }
  handle_ = nullptr;
  return open();
}

void CurlEasy::reset() {
  if (handle_ == nullptr) return;
  forgetCookieFiles(handle_);
  curl_easy_reset(handle_);
}

}  // namespace zephyl
