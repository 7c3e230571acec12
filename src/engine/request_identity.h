// What a download says about its client on every request: the header lines (the User-Agent, the
// settings' headers, the request's own, merged by name) and the HTTP credentials. Built once per
// download from the settings and the request; plain values, read by any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zephyl/zp_request.h"
#include "zephyl/zp_setting.h"

namespace zephyl {

struct RequestIdentity {
  // "Name: value" lines in order; "Name:" (no value) tells libcurl to send no such header.
  std::vector<std::string> headerLines;
  std::string userName;  // empty: no HTTP authentication
  std::string password;
  int32_t authMethods = 0;  // ZPRequest::AUTH_* bits
};

// Why the header cannot be sent, or empty when it can: a name that is not an HTTP token, a name
// the library keeps to itself (Range and If-Range carry the resumption's correctness), a value
// with CR, LF or NUL. The reason names the header, never its value.
std::string headerRefusal(const std::string& name, const std::string& value);

// Why the settings' and the request's headers and credentials cannot be used, or empty.
std::string identityRefusal(const ZPHttpPolicy& policy, const ZPRequest& request);

// The identity of a download: the policy's User-Agent, replaced or removed by a header of that
// name, then the policy's headers, then the request's, a later one of a name replacing the
// earlier one in place. Headers that identityRefusal refuses are left out.
RequestIdentity identityOf(const ZPHttpPolicy& policy, const ZPRequest& request);

}  // namespace zephyl
