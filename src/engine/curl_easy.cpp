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

}  // namespace

CurlEasy::~CurlEasy() {
  if (handle_ != nullptr) curl_easy_cleanup(handle_);
}

bool CurlEasy::open() {
  if (handle_ != nullptr) return true;
  if (!initCurlOnce()) return false;
  handle_ = curl_easy_init();
  return handle_ != nullptr;
}

bool CurlEasy::renew() {
  if (handle_ != nullptr) curl_easy_cleanup(handle_);
  handle_ = nullptr;
  return open();
}

void CurlEasy::reset() {
  if (handle_ != nullptr) curl_easy_reset(handle_);
}

}  // namespace zephyl
