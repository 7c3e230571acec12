// Where one request wants its result (DeliveryTarget) and how a request gets its own copy of a
// download that another request's task delivered (deliverCopy). A download is fetched once per
// file key; a request joining it with another target is served from the delivered result.
// Free functions without state: thread-safe; deliverCopy does file I/O and runs on the task's
// thread, never under a manager lock.
#pragma once

#include <cstdint>
#include <string>

#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"

namespace zephyl {

// The place of a request's result: memory, or a file path with the rule for an existing file.
// Requests with equal targets share one result.
struct DeliveryTarget {
  bool memory = false;
  // The file path as the storage manager resolves it: request.savePath when set, else
  // saveDirPath + "/" + fileKey; empty when neither can name a file (no save directory).
  std::string path;
  bool renameIfExists = false;
  // A file's data is written to the disk before the file takes its name (the manager's
  // writeOutBeforeDelivery); not part of what makes two targets the same.
  bool writeOut = true;
  // OUTPUT_STREAM: the bytes go to the request's own receiver; never the same as another target.
  bool stream = false;

  // The target of request (its fileKey filled in) under the manager's save directory.
  static DeliveryTarget of(const ZPRequest& request, const std::string& saveDirPath, bool writeOut);

  // Memory equals memory; files compare their paths after normalisePath (storage/path_text.h) and their rename rule.
  bool sameAs(const DeliveryTarget& other) const;
};

// A hidden name in path's directory that no other writer in this or another process picks.
std::string temporaryNameBeside(const std::string& path);

// Whether the file system of target has room for a resource of length bytes, when it is another
// than storageRoot's (the delivery then copies the file there, and the storage's own room is
// reserved apart): success, else CACHE_ERROR with the platform's disk-full code and a message
// with both figures ("no room on the target disk for N bytes (M bytes free): DIR"). Memory,
// streams, an unknown length and a volume that cannot be measured pass.
ZPResponse checkTargetRoom(const DeliveryTarget& target, const std::string& storageRoot,
                           int64_t length);

// Before any byte is fetched: whether a file can be delivered to target at all. Memory and a
// stream can; a file needs a path whose directory, or else the nearest directory above it that
// exists (from which delivery creates the rest), this process may create files in
// (fs::checkWritableDirectory; an entry in the way that is not a directory fails), and, unless
// renameIfExists picks another name, no directory under the target's own name. Creates nothing.
// Returns success, or RESULT_FAILED with CACHE_ERROR, the file-system code in extraErrorCode and
// "cannot write <path>: <reason>".
ZPResponse checkTargetWritable(const DeliveryTarget& target);

// Produces at target a copy of source, the successful result of a download delivered to memory
// (sourceInMemory: outputData holds fileLength bytes) or to the file source.outputFilePath.
//  - memory -> memory shares the buffer (delivered buffers are never changed);
//  - memory -> file writes a temporary file in the target's directory (written out to the disk
//    when target.writeOut), then moves it into place;
//  - file -> file copies with fs::copyFile;
//  - file -> memory reads the file into a new buffer; a file longer than memoryLimitBytes (when
//    positive) or than an allocation can hold is refused before anything is read.
// A file target whose name is taken is replaced, or with renameIfExists the first free name of
// path, path(1), ... is used; a target that is the source file itself is the source's result.
// Returns a new response: success with the copy's own outputFilePath or outputData and fileLength,
// or RESULT_FAILED with CACHE_ERROR, the file-system code in extraErrorCode and its message;
// a failed copy leaves no partial file at the target.
ZPResponse deliverCopy(const ZPResponse& source, bool sourceInMemory, const DeliveryTarget& target,
                       int64_t memoryLimitBytes);

// Hands response the means to read its delivered file back (through the file layer) for
// getMd5Etag and getSha256, which read nothing until the host asks. Every response the engine
// delivers gets it; deliverCopy's results have it already.
void giveFileReader(ZPResponse& response);

}  // namespace zephyl
