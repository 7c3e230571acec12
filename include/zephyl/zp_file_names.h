// File names for hosts that name files themselves: from a URL, a list, or a server's
// Content-Disposition (zpSafeFileName), and the check of a path a user typed (zpPathNameFault),
// with the rules the library applies to its own paths. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>

#include "zephyl/export.h"

// name made fit to be one file's name on every system, so that a file made on one can be copied
// to another and a name never leaves the directory it is joined to: "/", "\", ":", "*", "?",
// """, "<", ">", "|" and control characters become "_", trailing dots and spaces go, a name
// Windows keeps for a device (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with any extension and
// in any case) gets a "_" in front ("aux.txt" -> "_aux.txt"), and the name is cut to 255 bytes
// (keeping a short extension and whole UTF-8 characters). When nothing usable is left ("", ".",
// "..", "...", ". ."), fallback mended the same way; "download" when that is empty too.
ZEPHYL_EXPORT std::string zpSafeFileName(const std::string& name, const std::string& fallback);

// Why this system cannot hold path as the path of a file, naming the part at fault (on Windows:
// a character such as "|" in a name, or a device's name such as "aux.txt"); empty when it can.
// Roots are taken as written: "C:\", "\\server\share\", "\\?\C:\" and "\\?\UNC\server\share\".
// A download whose savePath, save directory or storage root has such a fault fails before its
// first byte with this reason.
ZEPHYL_EXPORT std::string zpPathNameFault(const std::string& path);

// Length of path's root, the part no directory is ever created in nor made itself: "C:" or
// "C:\" (a drive), "\" or "/", "\\server\share\" (a network share), "\\?\C:\" and
// "\\?\UNC\server\share\" ("/" counts as "\" throughout); 0 for a relative path. The same
// on every platform.
ZEPHYL_EXPORT size_t zpPathRootLength(const std::string& path);
