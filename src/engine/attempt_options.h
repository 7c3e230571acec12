// The libcurl options and request headers of one chunk attempt: what every attempt sets, in one
// order, on a reset easy handle. Free functions; any thread, one handle at a time.
#pragma once

#include <curl/curl.h>

#include <string>

#include "engine/curl_transfer.h"

namespace zephyl {

// The request headers of one attempt; freed with the attempt.
class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list_); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;

  bool add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list_, line.c_str());
    if (grown == nullptr) return false;
    list_ = grown;
    return true;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;  // owned
};

// Where libcurl hands what it receives, and the buffer for its detailed failure text (at least
// CURL_ERROR_SIZE bytes); data goes to every callback.
struct AttemptCallbacks {
  curl_write_callback body = nullptr;
  curl_write_callback header = nullptr;
  curl_xferinfo_callback progress = nullptr;
  void* data = nullptr;
  char* errorText = nullptr;
};

// The attempt's header lines into headers: If-Range when the stored bytes have a validator, then
// the request's own lines. CURLE_OUT_OF_MEMORY when a line could not be added.
[[nodiscard]] CURLcode buildHeaders(const AttemptSetup& setup, HeaderList& headers);

// Every option of the attempt, in one order; the first code libcurl rejects, else CURLE_OK.
// headers and the strings of setup must outlive the transfer.
[[nodiscard]] CURLcode setAttemptOptions(CURL* handle, const AttemptSetup& setup,
                                         const HeaderList& headers,
                                         const AttemptCallbacks& callbacks);

}  // namespace zephyl
