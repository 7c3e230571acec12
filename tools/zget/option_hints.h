// What zget says of an option it does not have. Users type the options of the downloader they
// know (wget, curl, aria2c); where zget has the same thing under another name, the message names
// it. Pure functions; thread-safe.
#pragma once

#include <string>

namespace zget {

// The usage message for an option zget does not have, typed as the argument is without an
// "=VALUE" ("-s", "-s4", "-nv", "--location", "-4"): "unknown option -s; zget's is -x (...)",
// or "unknown option -4" when no other tool's meaning is known.
std::string unknownOptionMessage(const std::string& typed);

}  // namespace zget
