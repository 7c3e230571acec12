// Where zget puts things: the file name a URL gives, names kept apart within one run, and the
// storage root under the user's cache directory. Pure functions except cacheRootDir (reads the
// environment); thread-safe. NameBook: one thread at a time.
#pragma once

#include <map>
#include <set>
#include <string>

namespace zget {

// Name used when a URL has no last path segment ("http://host/", "http://host/dir/").
inline constexpr const char* kFallbackFileName = "index.html";

// "%41%2Fb" -> "A/b". Invalid or truncated escapes are kept as they stand.
std::string percentDecode(const std::string& text);

// The file name for a URL: its last path segment (query and fragment dropped), percent-decoded
// and made safe with safeFileName.
std::string fileNameFromUrl(const std::string& url);

// name made fit for a file on every system, the library's way (zpSafeFileName): "/", "\", ":",
// "*", "?", """, "<", ">", "|" and control characters become "_", trailing dots and spaces go,
// a device's name gets a "_" in front ("aux.txt" -> "_aux.txt"), and it is cut to 255 bytes;
// a name with nothing left ("", "..", "...", ". .") falls back to kFallbackFileName.
std::string safeFileName(const std::string& name);

// A list's out= (namesFile) or dir= value, already checked with staysInside, with every
// component made safe as by safeFileName and joined with "/". Directories of dots and spaces
// alone are dropped; the file's own name falls back to kFallbackFileName.
std::string safeRelativePath(const std::string& path, bool namesFile);

// The file name a Content-Disposition header value suggests ("attachment; filename=a.zip",
// or the UTF-8 "filename*=UTF-8''..." form, preferred), reduced to its last component and made
// safe with safeFileName; empty when it suggests none, or only dots and spaces.
std::string fileNameFromContentDisposition(const std::string& header);

// Whether path, joined to a directory, names something inside it: relative (no drive either),
// without ".." components ("/" and "\" both separate), and, when namesFile, ending in a file
// name (not in a separator or "."). False with the reason in *reason.
bool staysInside(const std::string& path, bool namesFile, std::string* reason);

// "dir" + "/" + "name", or "name" alone when it is absolute (or names a drive or the root of
// the current one on Windows) or dir is empty.
std::string joinPath(const std::string& dir, const std::string& name);

// "name.ext" with n -> "name(n).ext"; a name without an extension gets "(n)" at its end ("/"
// and "\" both end a directory).
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
  // With ignoringCase (the directory's file system ignores case) a path that differs from a
  // taken one only in case is taken too ("File.bin" after "file.bin" gets "File(1).bin"), and
  // *caseTwin (when not null) names the path it met; otherwise *caseTwin is left empty.
  std::string claim(const std::string& path, bool ignoringCase = false,
                    std::string* caseTwin = nullptr);

 private:
  bool isTaken(const std::string& path, bool ignoringCase) const;

  std::set<std::string> taken_;
  // Every taken path with its letters in one case, mapped to the path as it was claimed.
  std::map<std::string, std::string> takenFolded_;
};

}  // namespace zget
