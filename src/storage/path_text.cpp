#include "storage/path_text.h"

#include <cstdio>

namespace zephyl {
namespace {

// Characters no Windows file name holds, besides the control characters; "/" and "\" separate.
constexpr std::string_view kForbiddenInNames = ":*?\"<>|";
// Extensions up to this length survive a cut of a long name (".tar.gz" style names keep their
// last part).
constexpr size_t kKeptExtensionBytes = 16;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringCase(std::string_view text, std::string_view upperCase) {
  if (text.size() != upperCase.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (upper(text[i]) != upperCase[i]) return false;
  }
  return true;
}

// Where the component that starts at `at` ends: the next separator, or the end of path.
size_t componentEnd(std::string_view path, size_t at) {
  while (at < path.size() && !isSeparator(path[at])) ++at;
  return at;
}

// at, or one past it when a separator stands there.
size_t pastSeparator(std::string_view path, size_t at) {
  return at < path.size() && isSeparator(path[at]) ? at + 1 : at;
}

bool isDrive(std::string_view component) {
  return component.size() == 2 && upper(component[0]) >= 'A' && upper(component[0]) <= 'Z' &&
         component[1] == ':';
}

// The root of a share whose server name starts at `at`: server, separator, share, separator.
size_t shareRootEnd(std::string_view path, size_t at) {
  const size_t server = componentEnd(path, at);
  if (server >= path.size()) return path.size();
  return pastSeparator(path, componentEnd(path, server + 1));
}

// "\\?\" or "\\.\" (either separator): the system's forms, which the system takes as written.
bool isSystemForm(std::string_view path) {
  return path.size() >= 4 && isSeparator(path[0]) && isSeparator(path[1]) &&
         (path[2] == '?' || path[2] == '.') && isSeparator(path[3]);
}

// The name Windows keeps for a device: the part before the first ".", trailing spaces dropped,
// in any case. COM and LPT take the digits 1 to 9 and the superscripts 1 to 3 (U+00B9, U+00B2,
// U+00B3).
bool isDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equalsIgnoringCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view prefix = base.substr(0, 3);
  if (!equalsIgnoringCase(prefix, "COM") && !equalsIgnoringCase(prefix, "LPT")) return false;
  const std::string_view number = base.substr(3);
  if (number.size() == 1) return number[0] >= '1' && number[0] <= '9';
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

// text cut to at most maxBytes without splitting a UTF-8 character.
std::string_view cutUtf8(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  // Continuation bytes are 10xxxxxx; step back to the start of the character they belong to.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string limitLength(const std::string& name) {
  if (name.size() <= kMaxFileNameBytes) return name;
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kKeptExtensionBytes) {
    const std::string_view extension = std::string_view(name).substr(dot);
    return std::string(cutUtf8(std::string_view(name).substr(0, dot),
                               kMaxFileNameBytes - extension.size())) +
           std::string(extension);
  }
  return std::string(cutUtf8(name, kMaxFileNameBytes));
}

// Why Windows cannot hold component as one name; empty when it can.
std::string componentFault(std::string_view component) {
  if (component.empty() || component == "." || component == "..") return std::string();
  const std::string quoted = "\"" + std::string(component) + "\"";
  for (char c : component) {
    if (isControl(c)) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
      return "the control character " + std::string(code) + " in " + quoted +
             " cannot be in a file name on Windows";
    }
    if (kForbiddenInNames.find(c) != std::string_view::npos) {
      return "the character '" + std::string(1, c) + "' in " + quoted +
             " cannot be in a file name on Windows";
    }
  }
  if (isDeviceName(component)) {
    return quoted + " is the name of a device on Windows, not of a file";
  }
  return std::string();
}

}  // namespace

size_t pathRootLength(std::string_view path) {
  if (path.empty()) return 0;
  if (isSeparator(path[0])) {
    // One separator, or three and more ("///x" is the root "/" written with extra separators).
    if (path.size() < 3 || !isSeparator(path[1]) || isSeparator(path[2])) return 1;
    if (!isSystemForm(path)) return shareRootEnd(path, 2);
    const size_t end = componentEnd(path, 4);
    if (end < path.size() && equalsIgnoringCase(path.substr(4, end - 4), "UNC")) {
      return shareRootEnd(path, end + 1);
    }
    return pastSeparator(path, end);
  }
  return isDrive(path.substr(0, 2)) ? pastSeparator(path, 2) : 0;
}

std::string normalisePath(std::string_view path) {
  if (path.empty()) return std::string();
  const size_t rootLength = pathRootLength(path);
  std::string normalised(path.substr(0, rootLength));
  for (char& c : normalised) {
    if (c == '\\') c = '/';
  }
  bool segments = false;
  for (size_t at = rootLength; at < path.size();) {
    const size_t end = componentEnd(path, at);
    const std::string_view segment = path.substr(at, end - at);
    at = end + 1;
    if (segment.empty() || segment == ".") continue;
    // The root ends with its separator, or is a drive's current directory ("C:x").
    if (segments) normalised += '/';
    normalised += segment;
    segments = true;
  }
  // A share's closing separator is not part of its name; a drive's root ("C:/") and the root
  // ("/") keep theirs, since "C:" alone is the drive's current directory.
  if (!segments && normalised.size() > 1 && normalised.back() == '/' &&
      normalised[normalised.size() - 2] != ':') {
    normalised.pop_back();
  }
  return normalised.empty() ? "." : normalised;
}

std::string mendFileName(std::string_view name) {
  std::string mended(name);
  for (char& c : mended) {
    if (isSeparator(c) || isControl(c) || kForbiddenInNames.find(c) != std::string_view::npos) {
      c = '_';
    }
  }
  if (isDeviceName(mended)) mended.insert(0, 1, '_');
  mended = limitLength(mended);
  // After the cut too: it may end the name on a dot or a space.
  while (!mended.empty() && (mended.back() == '.' || mended.back() == ' ')) mended.pop_back();
  return mended;
}

std::string windowsNameFault(std::string_view path) {
  const size_t rootLength = pathRootLength(path);
  // "\\.\" leads to the system's devices; only a drive or a share is a place for files there.
  if (isSystemForm(path) && path[2] == '.') {
    const std::string_view first = path.substr(4, componentEnd(path, 4) - 4);
    if (!isDrive(first) && !equalsIgnoringCase(first, "UNC")) {
      return "\"" + std::string(path.substr(0, rootLength)) + "\" names a device, not a file";
    }
  }
  for (size_t at = rootLength; at < path.size();) {
    const size_t end = componentEnd(path, at);
    std::string fault = componentFault(path.substr(at, end - at));
    if (!fault.empty()) return fault;
    at = end + 1;
  }
  return std::string();
}

}  // namespace zephyl
