// Path text as the whole library reads it: where a path's root ends (a drive, a network share,
// the system's "\\?\" forms), the one lexical spelling of a path, the mending of a file name taken
// from elsewhere (a URL, a list, a server's answer), and the names Windows keeps for devices or
// cannot hold. Text only, the same on every platform: a name made on Linux may be copied to
// Windows. "\" and "/" both separate. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zephyl {

// Longest name, in bytes, that mendFileName leaves (what common file systems hold).
inline constexpr size_t kMaxFileNameBytes = 255;

// Length of path's root, the part that no directory walk climbs above and no clean-up changes:
//   "C:" or "C:\"                        a drive (its current directory, or its root)
//   "\"                                  the root of the current drive or file system
//   "\\server\share\"                    a network share (the whole path when it names no share)
//   "\\?\C:\", "\\?\UNC\server\share\"   the system's own forms, also with "." for "?"
// A separator that closes the root belongs to it. 0 for a relative path.
size_t pathRootLength(std::string_view path);

// The one spelling of a path that the library compares and keys by: "/" for every separator,
// repeated separators and "." segments dropped, no trailing separator; the root kept as written
// (a share's leading "//" stays two, "C:/" stays apart from "C:"). Lexical only: ".." and links
// stay. "" stays ""; a relative path of "." segments only becomes ".".
std::string normalisePath(std::string_view path);

// name made fit to be one file's name on any system: "/", "\", ":", "*", "?", """, "<", ">", "|"
// and control characters become "_"; trailing dots and spaces go (Windows drops them itself);
// a name Windows keeps for a device, with any extension and in any case ("aux.txt", "Con",
// "com1.tar.gz"), gets a "_" in front; and the name is cut to kMaxFileNameBytes (keeping a short
// extension and whole UTF-8 characters). Empty when nothing usable is left ("", ".", "..", "...",
// ". ."): the caller picks a fallback.
std::string mendFileName(std::string_view name);

// Why Windows cannot take path as the path of a file, naming the part at fault: a component with
// a character it cannot hold (the character named) or a device's name. Empty when every
// component below the root is fine. "." and ".." components are left to the system.
std::string windowsNameFault(std::string_view path);

}  // namespace zephyl
