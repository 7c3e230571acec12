// ResponseContent: the library's access to the means a ZPResponse keeps for reading its
// delivered file back (getMd5Etag, getSha256). The layer that delivered the file hands the
// response a reader; the records only call it and never open files themselves. Stateless; a
// response is set up by the thread that makes it, before it is handed on.
#pragma once

#include <utility>

#include "zephyl/zp_response.h"

namespace zephyl {

struct ResponseContent {
  using BlockSink = ZPResponse::BlockSink;
  using FileReader = ZPResponse::FileReader;

  // From now on response (and its copies) read its file through reader.
  static void setFileReader(ZPResponse& response, FileReader reader) {
    response.fileReader_ = std::move(reader);
  }
  static const FileReader& fileReaderOf(const ZPResponse& response) { return response.fileReader_; }
};

}  // namespace zephyl
