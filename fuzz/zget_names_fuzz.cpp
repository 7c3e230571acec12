// zget's list files and the names it makes, from text of any content: a list may come from
// anywhere. Checked: a list either reads into jobs of one blank-free URL each, whose out= and
// dir= stay inside the output directory, or is refused with a reason; the file name of any URL is
// one usable name (not empty, not "." or "..", no separator or control byte, at most 255 bytes),
// so that every target lands inside the output directory; numbered names stay in their
// directory and a run never hands out one path twice.
// Input: the list file; each of its lines also serves as a URL.
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input_list.h"
#include "naming.h"
#include "options.h"

namespace zephyl::fuzz {
namespace {

constexpr char kOutputDir[] = "/out";

// The library's form of a list's checksum: "md5:" or "sha256:" and lowercase hex of the length.
bool isLibraryChecksum(const std::string& checksum) {
  const size_t colon = checksum.find(':');
  if (colon == std::string::npos) return false;
  const std::string type = checksum.substr(0, colon);
  const std::string hex = checksum.substr(colon + 1);
  const size_t digits = type == "md5" ? 32 : type == "sha256" ? 64 : 0;
  return digits != 0 && hex.size() == digits &&
         hex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void checkFileName(const std::string& url) {
  const std::string name = zget::fileNameFromUrl(url);
  const std::string context = "name \"" + name + "\" of \"" + url + "\"";
  FUZZ_CHECK(!name.empty() && name != "." && name != "..", context);
  FUZZ_CHECK(name.size() <= 255, context + ": too long");
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(c != '/' && c != '\\' && byte >= 0x20 && byte != 0x7F, context + ": bad byte");
  }
  FUZZ_CHECK(zget::percentDecode(url).size() <= url.size(), "decoding made text longer");
}

// Where a job's file goes below the output directory, as zget joins it ("\" read as "/").
void checkTargetInside(const zget::DownloadJob& job) {
  const std::string name = job.outName.empty() ? zget::fileNameFromUrl(job.url) : job.outName;
  std::string target = zget::joinPath(zget::joinPath(kOutputDir, job.dir), name);
  for (char& c : target) {
    if (c == '\\') c = '/';
  }
  const std::string normal = std::filesystem::path(target).lexically_normal().string();
  const std::string inside = std::string(kOutputDir) + "/";
  FUZZ_CHECK(normal.compare(0, inside.size(), inside) == 0 && normal.size() > inside.size() &&
                 normal.back() != '/',
             "job \"" + job.url + "\" out=\"" + job.outName + "\" dir=\"" + job.dir +
                 "\" lands at " + normal);
}

void checkNumbering(const std::vector<std::string>& paths) {
  zget::NameBook book;
  std::set<std::string> handedOut;
  for (const std::string& path : paths) {
    const std::string claimed = book.claim(path);
    FUZZ_CHECK(handedOut.insert(claimed).second, "one path handed out twice: " + claimed);
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    FUZZ_CHECK(claimed.compare(0, dir.size(), dir) == 0 &&
                   claimed.find('/', dir.size()) == std::string::npos,
               "\"" + path + "\" numbered into another directory: " + claimed);
  }
}

}  // namespace
}  // namespace zephyl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zephyl::fuzz;
  static ScratchDir scratch;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string listPath = scratch.path() + "/list.txt";
  writeFile(listPath, input.data(), input.size());

  std::vector<zget::DownloadJob> jobs;
  std::string error;
  const int result = zget::readInputList(listPath, &jobs, &error);
  FUZZ_CHECK(result == 0 || result == zget::kExitUsage,
             "unexpected result " + std::to_string(result));
  if (result != 0) {
    FUZZ_CHECK(jobs.empty() && !error.empty(), "a refused list without a reason or with jobs");
  }
  std::vector<std::string> targets;
  for (const zget::DownloadJob& job : jobs) {
    FUZZ_CHECK(!job.url.empty() && job.url.find_first_of(" \t\n") == std::string::npos &&
                   job.url[0] != '#',
               "bad URL read: \"" + job.url + "\"");
    FUZZ_CHECK(job.checksum.empty() || isLibraryChecksum(job.checksum),
               "bad checksum read: " + job.checksum);
    checkFileName(job.url);
    checkTargetInside(job);
    const std::string name = job.outName.empty() ? zget::fileNameFromUrl(job.url) : job.outName;
    targets.push_back(zget::joinPath(zget::joinPath(kOutputDir, job.dir), name));
  }
  checkNumbering(targets);

  std::istringstream lines(input);
  std::string line;
  for (int count = 0; count < 64 && std::getline(lines, line); ++count) checkFileName(line);
  return 0;
}
