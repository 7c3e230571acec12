#include "zephyl/zp_request.h"

#include "diagnostics/redaction.h"

std::atomic<int> ZPRequest::serialId{1};

// One sequentially consistent fetch-and-add per construction: ids follow construction order
// across all threads.
ZPRequest::ZPRequest() : requestId(serialId.fetch_add(1)) {}

ZPRequest::ZPRequest(const std::string& url) : url(url), requestId(serialId.fetch_add(1)) {}

ZPRequest::ZPRequest(const ZPRequest&) = default;
ZPRequest::ZPRequest(ZPRequest&&) noexcept = default;
ZPRequest& ZPRequest::operator=(const ZPRequest&) = default;
ZPRequest& ZPRequest::operator=(ZPRequest&&) noexcept = default;
ZPRequest::~ZPRequest() = default;

std::string ZPRequest::logString() const {
  return "url = " + zephyl::redactUrl(url) + " fileKey = " + fileKey;
}

ZPBatchRequest::ZPBatchRequest() = default;
ZPBatchRequest::ZPBatchRequest(const std::vector<ZPRequest>& requests) : requests(requests) {}
ZPBatchRequest::ZPBatchRequest(const ZPBatchRequest&) = default;
ZPBatchRequest::ZPBatchRequest(ZPBatchRequest&&) noexcept = default;
ZPBatchRequest& ZPBatchRequest::operator=(const ZPBatchRequest&) = default;
ZPBatchRequest& ZPBatchRequest::operator=(ZPBatchRequest&&) noexcept = default;
ZPBatchRequest::~ZPBatchRequest() = default;
