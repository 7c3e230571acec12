// Where zget puts things: the file name a URL gives, names kept apart within one run, and the
// storage root under the user's cache directory. Pure functions except cacheRootDir (reads the
// environment); thread-safe. NameBook: one thread at a time.
#pragma once

#include <set>
#include <string>

namespace zget {

// Name used when a URL has no last path segment ("http://host/", "http://host/dir/").
inline constexpr const char* kFallbackFileName = "index.html";

// "%41%2Fb" -> "A/b". Invalid or truncated escapes are kept as they stand.
std::string percentDecode(const std::string& text);

// The file name for a URL: its last path segment (query and fragment dropped), percent-decoded
// and made safe for a file name: "/", "\" and control characters become "_", "." and ".." and
// empty names fall back to kFallbackFileName, and the name is cut to 255 bytes (keeping its
// extension and whole UTF-8 characters).
std::string fileNameFromUrl(const std::string& url);

// name made safe for a file name as fileNameFromUrl does (on Windows ":" too becomes "_").
std::string safeFileName(std::string name);

// The file name a Content-Disposition header value suggests ("attachment; filename=a.zip",
// or the UTF-8 "filename*=UTF-8''..." form, preferred), reduced to its last component and made
// safe with safeFileName; empty when it suggests none.
std::string fileNameFromContentDisposition(const std::string& header);

// Whether path, joined to a directory, names something inside it: relative (no drive either),
// without ".." components ("/" and "\" both separate), and, when namesFile, ending in a file
// name (not in a separator or "."). False with the reason in *reason.
bool staysInside(const std::string& path, bool namesFile, std::string* reason);

// "dir" + "/" + "name", or "name" alone when it is absolute (or names a drive or the root of
// the current one on Windows) or dir is empty.
std::string joinPath(const std::string& dir, const std::string& name);

// The path made absolute against the current directory and lexically normalised.
std::string absolutePath(const std::string& path);

// "name.ext" with n -> "name(n).ext"; a name without an extension gets "(n)" at its end.
std::string numberedName(const std::string& path, int n);

// Storage root: $XDG_CACHE_HOME/zephyl when XDG_CACHE_HOME is an absolute path, else
// $HOME/.cache/zephyl (the password database's home when HOME is unset); empty when neither
// is known.
std::string cacheRootDir();

// Hands out target paths so that two downloads of one run never share one; a path already
// taken gets a number: "a.bin", "a(1).bin", ...
class NameBook {
 public:
  NameBook() = default;
  NameBook(const NameBook&) = delete;
  NameBook& operator=(const NameBook&) = delete;

  // The path itself when it is still free in this run, otherwise the first free numbered one.
  std::string claim(const std::string& path);

 private:
  std::set<std::string> taken_;
};

}  // namespace zget
