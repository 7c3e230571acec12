// Redaction of credentials before a URL, a header or a text reaches a log line, an error text or
// a metrics record: a password in a URL's user information and the values of Authorization and
// Proxy-Authorization headers are shown as "***". Pure functions of their arguments, any thread.
// redactUrl, redactHeaderLine and redactUrlsIn are public (zephyl/zp_redaction.h).
#pragma once

#include <string>

#include "zephyl/zp_redaction.h"

namespace zephyl {

// The shown replacement of every credential.
inline constexpr const char* kRedacted = "***";

// The value a header named name may be shown with: "***" for Authorization and
// Proxy-Authorization (any case), value itself for every other header.
std::string redactHeader(const std::string& name, const std::string& value);

}  // namespace zephyl
