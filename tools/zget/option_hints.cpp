#include "option_hints.h"

namespace zget {
namespace {

struct Hint {
  const char* theirs;  // as another tool spells it
  const char* ours;    // what zget has for it, in words
};

// Only names zget does not have itself; where tools disagree on a letter, both meanings.
constexpr Hint kHints[] = {
    {"-s", "-x (ranges at once, aria2c's -s) or -q (quiet, curl's -s)"},
    {"--split", "-x (ranges of one download at once)"},
    {"--silent", "-q"},
    {"-nv", "-q"},
    {"--no-verbose", "-q"},
    {"-C", "-c (continue a partial file)"},
    {"--continue-at", "-c (continue a partial file)"},
    {"-L", "none: zget always follows redirects"},
    {"--location", "none: zget always follows redirects"},
    {"--output", "-o"},
    {"--output-dir", "-d"},
    {"--retry", "-t (tries of a whole download)"},
    {"-T", "--timeout and --read-timeout"},
    {"--max-time", "--timeout"},
    {"-A", "-U (User-Agent)"},
    {"-e", "--referer"},
    {"-b", "--load-cookies"},
    {"--cookie", "--load-cookies"},
    {"-I", "--spider"},
    {"--head", "--spider"},
    {"-H", "--header"},
    {"-u", "--user and --password"},
    {"--max-download-limit", "--limit-rate"},
    {"--max-overall-download-limit", "--max-overall-rate"},
    {"--check-certificate", "--no-check-certificate"},
};

}  // namespace

std::string unknownOptionMessage(const std::string& typed) {
  // A short option may carry its value or more letters ("-s4", "-nv"): the whole is looked up
  // first, then its first letter, which is what a parser of short options would read.
  const bool isShort = typed.size() > 2 && typed[0] == '-' && typed[1] != '-';
  const std::string first = isShort ? typed.substr(0, 2) : typed;
  for (const std::string& name : {typed, first}) {
    for (const Hint& hint : kHints) {
      if (name == hint.theirs) return "unknown option " + name + "; zget's is " + hint.ours;
    }
  }
  return "unknown option " + first;
}

}  // namespace zget
