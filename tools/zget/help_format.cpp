#include "help_format.h"

#include <CLI/CLI.hpp>
#include <sstream>
#include <vector>

#include "platform.h"

namespace zget {
namespace {

// Where the descriptions start.
constexpr size_t kNameColumns = 30;

class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kNameColumns); }

  // "  NAMES TYPE" then the description wrapped in its column; a name column too wide for it
  // puts the description on the next line.
  std::string make_option(const CLI::Option* option, bool isPositional) const override {
    const std::string names =
        "  " + make_option_name(option, isPositional) + make_option_opts(option);
    const std::string indent(kNameColumns, ' ');
    std::string out = names;
    if (names.size() >= kNameColumns) {
      out += "\n" + indent;
    } else {
      out += std::string(kNameColumns - names.size(), ' ');
    }
    for (const char c : wrapWords(make_option_desc(option), kHelpColumns - kNameColumns - 1)) {
      out += c;
      if (c == '\n') out += indent;
    }
    return out + "\n";
  }
};

}  // namespace

std::string wrapWords(const std::string& text, size_t width) {
  std::string out;
  size_t lineStart = 0;  // in out
  std::istringstream lines(text);
  std::string line;
  bool firstLine = true;
  while (std::getline(lines, line)) {
    if (!firstLine) out += '\n';
    firstLine = false;
    lineStart = out.size();
    std::istringstream words(line);
    std::string word;
    bool firstWord = true;
    while (words >> word) {
      if (!firstWord && out.size() - lineStart + 1 + word.size() > width) {
        out += '\n';
        lineStart = out.size();
      } else if (!firstWord) {
        out += ' ';
      }
      out += word;
      firstWord = false;
    }
  }
  return out;
}

std::shared_ptr<CLI::FormatterBase> makeHelpFormatter() {
  return std::make_shared<HelpFormatter>();
}

std::string helpFooter() {
  const std::string downloads = platform::exampleDownloadsDir();
  const std::string paragraphs =
      "Downloads run in parallel byte ranges and are stored in chunks under the cache "
      "directory (" +
      platform::cacheLocationText() +
      ") until they are complete, then moved to their file (the last path segment of the URL, "
      "percent-decoded; \"index.html\" when there is none). After an interruption (Ctrl-C, a "
      "failure) run the same command again to resume. An existing file is never replaced "
      "unless --allow-overwrite is given: the download is saved as \"name(1).ext\" (the next "
      "free number). -c instead continues a partial file that another tool left under the "
      "name.\n\n"
      "A list (-i) is UTF-8 text with one URL a line; \"#\" starts a comment line. Indented "
      "lines below a URL set options for it: \"out=NAME\", \"dir=DIR\", \"checksum=TYPE=HEX\" "
      "(TYPE sha-256 or md5, checked before the file is saved). NAME and DIR are relative to "
      "-d and stay inside it: absolute paths and \"..\" are refused.\n\n"
      "Sizes and rates (bytes per second) take K, M, G suffixes (binary). Durations are "
      "seconds (\"30\", \"1.5\") or carry a unit: \"500ms\", \"30s\", \"2m\", \"1h\", \"7d\". "
      "Library log lines, when enabled, go to standard error.\n\n"
      "Exit status: 0 when every download succeeded, 1 when one failed, 2 for a usage error, "
      "130 when interrupted.";
  return "\n" + wrapWords(paragraphs, kHelpColumns - 1) +
         "\n\nExamples:\n"
         "  zget https://example.org/file.iso      into file.iso here, resumable\n"
         "  zget -x 8 -d " +
         downloads +
         " URL\n"
         "                                         8 ranges at once, into that directory\n"
         "  zget -c URL                            continue a file another tool left\n"
         "  zget -i urls.txt -j 4                  a list, 4 downloads at once\n"
         "  zget -o - URL | tar x                  to standard output\n"
         "  zget --checksum=sha-256=HEX URL        save nothing unless the digest matches\n"
         "  zget --limit-rate=1M --proxy http://proxy:3128 URL\n"
         "  zget -N URL                            only when the server's copy is newer\n"
         "  zget --spider URL                      check that URL answers, save nothing";
}

}  // namespace zget
