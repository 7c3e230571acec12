// The check that keeps the library's clean-ups away from the user's files: the storage root
// whose temp directory the library empties must hold only what the library makes there. Reads
// the file system only; thread-safe.
#pragma once

#include <string>

namespace zget {

// Whether root can be zget's storage root without the library deleting a file it did not
// create: missing, or holding only the library's entries ("temp" and "lruCache" directories, the
// "downloads.lock" file) and the lock directory of earlier zget versions, those directories
// holding only entries named by a file key (32 lowercase hexadecimal digits, then any suffix),
// or the old lock file. False with the reason, naming the first foreign entry, in *error.
bool isOwnStorageRoot(const std::string& root, std::string* error);

}  // namespace zget
