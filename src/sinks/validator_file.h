// The validator of a stored download, kept in a file of its own beside the download (the
// storage manager names it: FilePaths::validatorPath), so that a resumed download can prove the
// server's resource is still the one whose bytes are stored. Free functions, no state; callers
// serialise work on one file.
//
// Format: the validator's text exactly as the server sent it, with nothing before or after it
// (no line break), at most kMaxValidatorBytes. Either a strong ETag with its quotes ("abc") or a
// Last-Modified date (Mon, 07 Dec 2026 10:00:00 GMT). The text itself tells the two apart, as
// If-Range does: an entity tag starts with a double quote (a weak one with W/), a date never
// does (isEntityTag).
#pragma once

#include <cstddef>
#include <string>

namespace zephyl {

inline constexpr size_t kMaxValidatorBytes = 1024;

// Replaces the file atomically (a crash leaves the old validator or the new one, never a mix);
// an empty validator removes the file instead. False when the file cannot be written or removed,
// and for a validator that could not be read back (longer than kMaxValidatorBytes, or holding a
// line break or a zero byte); the previous file then stays.
[[nodiscard]] bool saveValidator(const std::string& path, const std::string& validator);

// Reads the validator into *validator. A missing file is a download stored without one: true
// with an empty validator. False (and *validator emptied) for a file that cannot be read or
// that this library cannot have written: empty, longer than kMaxValidatorBytes, or holding a
// line break or a zero byte.
[[nodiscard]] bool loadValidator(const std::string& path, std::string* validator);

// Whether a validator is an entity tag (starts with '"' or 'W/"') rather than a date.
bool isEntityTag(const std::string& validator);

}  // namespace zephyl
