// TempDir: a fresh directory under the system's temporary directory for one test, removed with
// everything in it when the object is destroyed. One thread at a time.
#pragma once

#include <string>

namespace zephyl::test {

// As POSIX mkdtemp, on every platform: replaces the trailing "XXXXXX" of pattern (UTF-8) with
// random letters and digits and creates that directory, private to the user. Returns pattern,
// or null when no such directory could be made (pattern then holds the last name tried).
char* makeTemporaryDirectory(char* pattern);

class TempDir {
 public:
  // Creates "<tmp>/zephyl_test_<10 random letters and digits>", private to the user; path() is
  // empty if that failed.
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, without a trailing "/".
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace zephyl::test
