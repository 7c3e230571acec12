// CurlEasy: the single owner of one libcurl easy handle, cleaned up in its destructor. One thread
// at a time. The first handle of the process initialises libcurl once, thread-safely.
#pragma once

#include <curl/curl.h>

namespace zephyl {

class CurlEasy {
 public:
  CurlEasy() = default;
  ~CurlEasy();
  CurlEasy(const CurlEasy&) = delete;
  CurlEasy& operator=(const CurlEasy&) = delete;

  // Makes the handle if there is none yet, after curl_global_init has run once for the process.
  // Returns false when libcurl cannot be initialised or cannot make a handle.
  [[nodiscard]] bool open();
  // Every option back to its default; live connections and caches stay for reuse.
  void reset();
  // Replaces the handle by a new one (see open()); the old one's connections and caches go with
  // it unless a multi handle holds them.
  [[nodiscard]] bool renew();
  CURL* get() const { return handle_; }

 private:
  CURL* handle_ = nullptr;  // owned
};

}  // namespace zephyl
