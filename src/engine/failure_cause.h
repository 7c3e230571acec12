// The cause of a failed download (ZPResponse::cause) where the codes alone are too coarse: which
// network failure libcurl met, whether it was the proxy's, which disk failure the system
// reported. Pure functions apart from the file-system layer's table; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/chunk_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

// The cause of a chunk that failed without a usable status: from libcurl's code (or the client's
// own, see ChunkErrors) and its text; viaProxy: the download goes through a proxy, whose failures
// are then named as the proxy's when libcurl's text names the proxy's host (proxyHost).
int32_t networkCauseOf(int32_t errorCode, const std::string& errorText,
                       const std::string& proxyHost);

// Makes response.cause precise where its codes left it coarse: a disk failure by the system's
// code behind it (extraErrorCode). Nothing for any other response.
void refineDiskCause(ZPResponse& response);

}  // namespace zephyl
