// The downloads of one zget run: one job per URL, from the command line and from a list file
// (-i) with aria2c's layout. One thread (main's).
#pragma once

#include <string>
#include <vector>

namespace zget {

struct DownloadJob {
  std::string url;
  std::string outName;      // file name relative to dir; empty: the URL's last path segment
  std::string dir;          // relative to the -d directory; empty: the -d directory itself
  std::string checksum;     // the library's "sha256:<hex>" or "md5:<hex>"; empty: no check
};

// True for exactly 32 hexadecimal digits (either case).
bool isMd5Hex(const std::string& text);

// An aria2c checksum "TYPE=HEX" (TYPE sha-256, sha256 or md5 in any case; HEX 64 or 32 hex
// digits) as the library's checksum "sha256:<hex>" or "md5:<hex>" in *checksum. False, *checksum
// untouched, for anything else.
bool parseChecksumOption(const std::string& value, std::string* checksum);

// Appends the jobs of the list at path ("-" reads standard input), UTF-8 text with or without a
// byte-order mark (UTF-16 is refused as malformed): one URL a line; blank lines and lines
// starting with "#" are skipped; indented "out=NAME", "dir=DIR" and "checksum=TYPE=HEX" lines set
// the job of the URL above them. NAME and DIR must be UTF-8 and stay inside the output directory
// (staysInside): an absolute path or ".." makes the list malformed. Returns 0 on success,
// kExitFailure when the list cannot be read and kExitUsage when it is malformed, with the reason
// (naming the line) in *error; *jobs is unchanged on failure.
int readInputList(const std::string& path, std::vector<DownloadJob>* jobs, std::string* error);

}  // namespace zget
