// zget as its users run it: the built binary against a loopback server of the test's own, with a
// cache directory of its own (XDG_CACHE_HOME) in a fresh temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/utilities.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/test_proxy_server.h"
#include "tools/child_process.h"
#include "units.h"

namespace zephyl::test {
using zget::formatBytes;
namespace {

constexpr int kRunTimeoutMs = 60000;

bool fileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string asText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

size_t countOf(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

class ZgetTest : public testing::Test {
 protected:
  struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
  };

  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    ASSERT_TRUE(server_.started());
    ASSERT_EQ(mkdir(work().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(temp_.file("home").c_str(), 0755), 0);
  }

  // The built tool; CMake passes its path.
  static std::string binary() { return ZGET_BINARY; }

  // The working directory of the tool: finished files land here by default.
  std::string work() const { return temp_.file("work"); }
  std::string cacheRoot() const { return temp_.file("cache") + "/zephyl"; }
  std::map<std::string, std::string> environment() const {
    return {{"XDG_CACHE_HOME", temp_.file("cache")}, {"HOME", temp_.file("home")}};
  }

  bool start(ChildProcess* child, const std::vector<std::string>& args) {
    return child->start(binary(), args, work(), environment(), temp_.file("stdout"),
                        temp_.file("stderr"));
  }

  Result collect(ChildProcess* child, int timeoutMs) {
    Result result;
    EXPECT_TRUE(child->wait(timeoutMs, &result.exitCode)) << "zget did not end in time";
    result.out = readText(temp_.file("stdout"));
    result.err = readText(temp_.file("stderr"));
    return result;
  }

  Result run(const std::vector<std::string>& args) {
    ChildProcess child;
    EXPECT_TRUE(start(&child, args));
    return collect(&child, kRunTimeoutMs);
  }

  std::string writeList(const std::string& text) {
    std::string path = temp_.file("list.txt");
    std::ofstream(path) << text;
    return path;
  }

  TempDir temp_;
  TestHttpServer server_;
};

// --- exit statuses ---

TEST_F(ZgetTest, ExitsZeroWhenEveryDownloadSucceeds) {
  const std::vector<uint8_t> body = patternBytes(300000, 3);
  server_.serve("/one.bin", body);
  const Result result = run({"-q", server_.url("/one.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/one.bin"), asText(body));
  EXPECT_EQ(result.out, "");
  // The resumable output is stored below the user's cache directory while it runs, in
  // directories no one else may enter.
  for (const std::string& directory : {cacheRoot(), cacheRoot() + "/lruCache"}) {
    struct stat info {};
    ASSERT_EQ(stat(directory.c_str(), &info), 0) << directory;
    EXPECT_EQ(info.st_mode & 07777, 0700u) << directory;
  }
}

// An empty resource, told by a 416 "bytes */0" to the first range or by a 200 of length 0, is an
// empty file and a success.
TEST_F(ZgetTest, EmptyResourceIsAnEmptyFile) {
  Misbehaviour ignoring;
  ignoring.ignoreRange = true;
  server_.serve("/empty416.bin", {});
  server_.serve("/empty200.bin", {}, ignoring);
  const Result result = run({"-q", server_.url("/empty416.bin"), server_.url("/empty200.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  for (const char* name : {"/empty416.bin", "/empty200.bin"}) {
    EXPECT_TRUE(fileExists(work() + name)) << name;
    EXPECT_EQ(readText(work() + name), "") << name;
  }
}

TEST_F(ZgetTest, ListWithAFailingUrlExitsOneExplainsItAndKeepsTheOthers) {
  const std::vector<uint8_t> first = patternBytes(70000, 1);
  const std::vector<uint8_t> second = patternBytes(90000, 2);
  server_.serve("/good/first.bin", first);
  server_.serve("/good/second.bin", second);
  const std::string missing = server_.url("/missing.bin");
  const std::string list = writeList("# a comment\n" + server_.url("/good/first.bin") + "\n\n" +
                                     missing + "\n" + server_.url("/good/second.bin") + "\n");
  const Result result =
      run({"-i", list, "--max-tries", "1", "--http-retries", "0", "--retry-wait", "0"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("404 Not Found from " + server_.host() + ": the file is not there (" +
                            missing + ")"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("-9991"), std::string::npos) << "codes only with --verbose";
  EXPECT_NE(result.err.find("2 of 3 downloads finished, 1 failed"), std::string::npos);
  EXPECT_EQ(readText(work() + "/first.bin"), asText(first));
  EXPECT_EQ(readText(work() + "/second.bin"), asText(second));
  EXPECT_FALSE(fileExists(work() + "/missing.bin"));
}

TEST_F(ZgetTest, RefusedConnectionIsExplainedInWords) {
  ClosedPort closed;
  const std::string url = closed.url("/x.bin");
  const Result result =
      run({"-q", "--max-tries", "1", "--net-retries", "0", "--retry-wait", "0", url});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot connect to 127.0.0.1:"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("the connection was refused or the host is unreachable (" + url + ")"),
            std::string::npos)
      << result.err;
}

// wget and curl users expect a 404 to fail at once: no retry of the range, no repeat after the
// pause (which would take the default 5 s); --retry-all-errors restores the library's rules.
TEST_F(ZgetTest, NotFoundFailsAtOnceUnlessEveryErrorIsRetried) {
  const std::string missing = server_.url("/missing.bin");
  const Result once = run({"-q", missing});
  EXPECT_EQ(once.exitCode, 1);
  EXPECT_EQ(server_.requestCount(), 1u) << once.err;
  server_.clearRequests();
  const Result all = run({"-q", "--retry-all-errors", "--retry-wait", "0", missing});
  EXPECT_EQ(all.exitCode, 1);
  EXPECT_EQ(server_.requestCount(), 4u) << all.err;
}

// A server that closes the connection part way is the server's doing, told with how far the
// download came, and the bytes kept are named with the way to drop them.
TEST_F(ZgetTest, ServerClosingEarlyIsToldAsSuchAndTheKeptBytesAreNamed) {
  Misbehaviour cutting;
  cutting.cutFirst = 1000;
  cutting.cutAfterBytes = 300000;
  server_.serve("/cut.bin", patternBytes(1000000, 5), cutting);
  const std::string url = server_.url("/cut.bin");
  const Result result =
      run({"-x", "1", "--max-tries", "1", "--net-retries", "0", "--retry-wait", "0", url});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("the server " + server_.host() + " closed the connection after "),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("cannot write"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("kept "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(" of " + url + " in " + cacheRoot() +
                            "; run again to resume, --clear-cache to drop"),
            std::string::npos)
      << result.err;
}

// A home directory that does not exist leaves no default cache: zget says where to turn.
TEST_F(ZgetTest, MissingHomeDirectorySuggestsTheCacheOption) {
  ChildProcess child;
  ASSERT_TRUE(child.start(binary(), {"-q", server_.url("/x.bin")}, work(),
                          {{"HOME", temp_.file("no/such/home")}, {"XDG_CACHE_HOME", ""}},
                          temp_.file("stdout"), temp_.file("stderr")));
  const Result result = collect(&child, kRunTimeoutMs);
  EXPECT_NE(result.exitCode, 0);
  EXPECT_NE(result.err.find("--cache-dir"), std::string::npos) << result.err;
}

TEST_F(ZgetTest, UsageErrorsExitTwoWithoutDownloading) {
  server_.serve("/u.bin", patternBytes(1000));
  const std::string url = server_.url("/u.bin");
  const std::vector<std::vector<std::string>> commands = {
      {},
      {"--no-such-option", url},
      {"-o", "a.bin", url, server_.url("/other.bin")},
      {"-k", "12Q", url},
      {"-x", "0", url},
      {"--mirror", "no-equals-sign", url},
      {"--check-md5", "not-hex", url},
      {"--timeout", "soon", url},
      {"--limit-rate", "fast", url},
      {"--max-overall-rate", "-1M", url},
      {url, "--show-progress", url},
      {"-i", writeList(url + "\n  colour=blue\n")},
      {"not a url"},
      {"ftp://127.0.0.1/u.bin"},
      {"-i", writeList(url + "\nhttp://127.0.0.1:0/x\n")},
      {"-nc", "--allow-overwrite", url},
  };
  for (const std::vector<std::string>& args : commands) {
    const Result result = run(args);
    EXPECT_EQ(result.exitCode, 2) << "args: " << testing::PrintToString(args) << "\n" << result.err;
    EXPECT_NE(result.err.find("zget: "), std::string::npos);
  }
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(ZgetTest, DirectoryThatCannotBeCreatedFailsBeforeDownloading) {
  server_.serve("/d.bin", patternBytes(1000));
  std::ofstream(temp_.file("plain-file")) << "x";
  const Result result = run({"-d", temp_.file("plain-file") + "/sub", server_.url("/d.bin")});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot create directory " + temp_.file("plain-file") + "/sub"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(server_.requestCount(), 0u);
}

// --- file naming ---

TEST_F(ZgetTest, NamesTheFileAfterTheDecodedLastPathSegment) {
  const std::vector<uint8_t> report = patternBytes(5000, 4);
  const std::vector<uint8_t> slashed = patternBytes(6000, 5);
  server_.serve("/files/na%C3%AFve%20report%231.bin", report);
  server_.serve("/files/a%2Fb.txt", slashed);
  const Result result = run({server_.url("/files/na%C3%AFve%20report%231.bin") + "?token=abc",
                             server_.url("/files/a%2Fb.txt")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/na\xC3\xAFve report#1.bin"), asText(report));
  // A decoded "/" must not make a directory out of the name.
  EXPECT_EQ(readText(work() + "/a_b.txt"), asText(slashed));
  // Off a terminal the progress is plain lines: no carriage returns, no escape sequences.
  EXPECT_EQ(result.err.find('\r'), std::string::npos);
  EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
  // The final line of a download names where it went and its average rate.
  EXPECT_NE(result.err.find("saved    " + work() + "/a_b.txt  "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("/s\n"), std::string::npos) << result.err;
}

TEST_F(ZgetTest, FallsBackToIndexHtmlAndKeepsNamesOfOneRunApart) {
  const std::vector<uint8_t> root = patternBytes(3000, 6);
  const std::vector<uint8_t> docs = patternBytes(4000, 7);
  server_.serve("/", root);
  server_.serve("/docs/", docs);
  const Result result = run({"-q", "-d", "out", server_.url("/"), server_.url("/docs/")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/out/index.html"), asText(root));
  EXPECT_EQ(readText(work() + "/out/index(1).html"), asText(docs));
}

TEST_F(ZgetTest, ExistingFileIsKeptUnlessOverwriteIsAllowed) {
  const std::vector<uint8_t> body = patternBytes(2000, 8);
  server_.serve("/r.bin", body);
  std::ofstream(work() + "/r.bin") << "old";
  Result result = run({server_.url("/r.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/r.bin"), "old");
  EXPECT_EQ(readText(work() + "/r(1).bin"), asText(body));
  EXPECT_NE(result.err.find(work() + "/r.bin exists; saved as " + work() + "/r(1).bin"),
            std::string::npos)
      << result.err;

  // --rename asks for what is now the default.
  result = run({"-q", "--rename", server_.url("/r.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/r(2).bin"), asText(body));

  result = run({"-q", "--allow-overwrite", server_.url("/r.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/r.bin"), asText(body));
  EXPECT_FALSE(fileExists(work() + "/r(3).bin"));

  // -nc: an existing file means nothing to do, before anything is asked of the server.
  std::ofstream(work() + "/r.bin", std::ios::trunc) << "kept";
  server_.clearRequests();
  result = run({"-nc", server_.url("/r.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/r.bin"), "kept");
  EXPECT_FALSE(fileExists(work() + "/r(3).bin"));
  EXPECT_NE(result.err.find("not downloading"), std::string::npos) << result.err;
  EXPECT_EQ(server_.requestCount(), 0u);
}

// --- outputs ---

TEST_F(ZgetTest, DashOWritesExactlyTheBytesToStandardOutput) {
  // Bytes of every value, newlines and zeros included, and library logs that must not mix in.
  const std::vector<uint8_t> body = patternBytes(200000, 9);
  server_.serve("/stream.bin", body);
  const Result result =
      run({"-o", "-", "-k", "64K", "--log-level", "debug", server_.url("/stream.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  ASSERT_EQ(result.out.size(), body.size());
  EXPECT_TRUE(result.out == asText(body));
  EXPECT_NE(result.err.find("[Zephyl]["), std::string::npos);
  EXPECT_FALSE(fileExists(work() + "/stream.bin"));
}

// zget -o - URL | head -c 100: the reader goes after 100 bytes of a long, slow download; zget
// ends soon after, quietly (no "failed" from the display either) and with status 0, instead of
// fetching the rest.
TEST_F(ZgetTest, DashOIntoAPipeClosedEarlyEndsAtOnceWithStatusZero) {
  const std::vector<uint8_t> body = patternBytes(64 << 20, 12);
  Misbehaviour paced;
  paced.bytesPerSecond = 1 << 20;  // at least 16 s for the whole body, even over four ranges
  server_.serve("/long.bin", body, paced);
  const std::string status = temp_.file("status");
  const std::string head = temp_.file("head");
  const std::string script = "{ \"$0\" -o - \"$1\"; echo $? > \"$2\"; } | head -c 100 > \"$3\"";
  ChildProcess child;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(child.start("/bin/sh", {"-c", script, binary(), server_.url("/long.bin"), status, head},
                          work(), environment(), temp_.file("stdout"), temp_.file("stderr")));
  int exitCode = -1;
  ASSERT_TRUE(child.wait(kRunTimeoutMs, &exitCode));
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  EXPECT_EQ(readText(status), "0\n");
  EXPECT_EQ(readText(temp_.file("stderr")), "");
  EXPECT_TRUE(readText(head) == asText(body).substr(0, 100));
  EXPECT_LT(seconds.count(), 8.0);  // loose: the whole body takes 16 s
  EXPECT_LT(server_.bodyBytesSent(), static_cast<int64_t>(body.size() / 2));
}

TEST_F(ZgetTest, ListOptionsNameTheOutputAndCheckTheMd5) {
  const std::vector<uint8_t> body = patternBytes(10000, 10);
  server_.serve("/l.bin", body);
  const std::string entry = server_.url("/l.bin") + "\n  out=renamed.dat\n  dir=sub\n" +
                            "  checksum=md5=" + md5HexOf(body) + "\n";
  // One URL with two targets is two downloads; an entry repeated as it stands is one.
  const std::string list = writeList(entry + entry + server_.url("/l.bin") + "\n  out=b.dat\n");
  // dir= is taken inside -d.
  const Result result = run({"-d", "out", "-i", list});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/out/sub/renamed.dat"), asText(body));
  EXPECT_EQ(readText(work() + "/out/b.dat"), asText(body));
  EXPECT_EQ(countOf(result.err, "is listed twice"), 1u) << result.err;
  EXPECT_NE(result.err.find("2 of 2 downloads finished"), std::string::npos) << result.err;
}

TEST_F(ZgetTest, Md5IsPrintedAndAMismatchFails) {
  const std::vector<uint8_t> body = patternBytes(50000, 11);
  server_.serve("/m.bin", body);
  Result result = run({"-q", "--md5", server_.url("/m.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, md5HexOf(body) + "  " + work() + "/m.bin\n");

}

// --checksum (and --check-md5) is checked before the file is saved: a wrong digest leaves no
// file and names what was expected and found; the right one saves it.
TEST_F(ZgetTest, ChecksumOptionSavesOnlyContentWithThatDigest) {
  const std::vector<uint8_t> body = patternBytes(50000, 11);
  server_.serve("/m.bin", body);
  const std::string wrong = std::string(64, '0');
  Result result = run({"-q", "--checksum=sha-256=" + wrong, server_.url("/m.bin")});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find(work() + "/m.bin failed its check"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("expected " + wrong + ", got " + sha256HexOf(body)),
            std::string::npos)
      << result.err;
  EXPECT_FALSE(fileExists(work() + "/m.bin"));
  result = run({"-q", "--check-md5", std::string(32, '0'), server_.url("/m.bin")});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_FALSE(fileExists(work() + "/m.bin"));

  result = run({"-q", "--checksum=SHA256=" + sha256HexOf(body), server_.url("/m.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/m.bin"), asText(body));
  result = run({"-q", "--checksum=crc32=0", server_.url("/m.bin")});
  EXPECT_EQ(result.exitCode, 2);
}

// checksum= lines of a list check each entry with its own digest.
TEST_F(ZgetTest, ListChecksumLinesCheckTheirOwnEntry) {
  const std::vector<uint8_t> good = patternBytes(3000, 21);
  const std::vector<uint8_t> bad = patternBytes(4000, 22);
  server_.serve("/good.bin", good);
  server_.serve("/bad.bin", bad);
  const std::string list =
      writeList(server_.url("/good.bin") + "\n  checksum=sha-256=" + sha256HexOf(good) + "\n" +
                server_.url("/bad.bin") + "\n  checksum=md5=" + md5HexOf(good) + "\n");
  const Result result = run({"-q", "-i", list});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(readText(work() + "/good.bin"), asText(good));
  EXPECT_FALSE(fileExists(work() + "/bad.bin"));
  EXPECT_NE(result.err.find("bad.bin failed its check"), std::string::npos) << result.err;
}

TEST_F(ZgetTest, MetricsFileGetsOneJsonLinePerDownload) {
  server_.serve("/metrics.bin", patternBytes(4000, 12));
  const std::string metrics = temp_.file("metrics.jsonl");
  const Result result = run({"-q", "--metrics-file", metrics, server_.url("/metrics.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::string text = readText(metrics);
  EXPECT_EQ(countOf(text, "\n"), 1u) << text;
  EXPECT_NE(text.find("\"file_download\""), std::string::npos);
  EXPECT_NE(text.find(server_.url("/metrics.bin")), std::string::npos);
}

// A password in a URL is shown as "***" in zget's messages, the library's log and the metrics.
TEST_F(ZgetTest, PasswordOfAUrlIsShownNowhere) {
  server_.serve("/found.bin", patternBytes(4000, 13));
  const std::string authority = "user:s3cr3t-pw@" + server_.host();
  const std::string list = writeList("http://" + authority + "/found.bin\nhttp://" + authority +
                                     "/missing.bin\nhttp://" + authority + "/found.bin\n");
  const std::string metrics = temp_.file("metrics.jsonl");
  const Result result =
      run({"--log-level", "verbose", "--metrics-file", metrics, "--check-md5",
           std::string(32, '0'), "--max-tries", "1", "--retry-wait", "0", "-i", list});
  EXPECT_EQ(result.exitCode, 1);
  const std::string records = readText(metrics);
  for (const std::string* text : {&result.out, &result.err, &records}) {
    EXPECT_EQ(text->find("s3cr3t-pw"), std::string::npos) << *text;
  }
  const std::string shown = "http://user:***@" + server_.host();
  EXPECT_NE(result.err.find("the file is not there (" + shown + "/missing.bin)"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("(" + shown + "/found.bin), not saved: checksum mismatch"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find(shown + "/found.bin is listed twice"), std::string::npos)
      << result.err;
  EXPECT_NE(records.find(shown + "/missing.bin"), std::string::npos) << records;
}

// Finished files carry the server's Last-Modified unless --no-server-time.
TEST_F(ZgetTest, FilesKeepTheServerTimeUnlessToldNot) {
  Misbehaviour dated;
  dated.lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
  server_.serve("/dated.bin", patternBytes(5000, 14), dated);
  const auto modified = [](const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtime) : -1;
  };
  Result result = run({"-q", "-o", "kept.bin", server_.url("/dated.bin")});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(modified(work() + "/kept.bin"), 1445412480);
  result = run({"-q", "--no-server-time", "-o", "fresh.bin", server_.url("/dated.bin")});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_GT(modified(work() + "/fresh.bin"), 1445412480 + 3600);

  // -N: a file as new as the server's copy is kept after one conditional request (a 304 is not
  // retried); -S prints that answer.
  server_.clearRequests();
  result = run({"-N", "-S", "-o", "kept.bin", server_.url("/dated.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_NE(result.err.find("kept     " + work() + "/kept.bin"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("  HTTP 304\n"), std::string::npos) << result.err;
  EXPECT_FALSE(fileExists(work() + "/kept(1).bin"));
  // A newer copy on the server replaces the file in place.
  const std::vector<uint8_t> newer = patternBytes(6000, 15);
  dated.lastModified = "Thu, 22 Oct 2015 07:28:00 GMT";
  server_.serve("/dated.bin", newer, dated);
  result = run({"-q", "-N", "-S", "-o", "kept.bin", server_.url("/dated.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/kept.bin"), asText(newer));
  EXPECT_FALSE(fileExists(work() + "/kept(1).bin"));
  EXPECT_NE(result.err.find("  last-modified: Thu, 22 Oct 2015 07:28:00 GMT\n"),
            std::string::npos)
      << result.err;
}

// --content-disposition names the file as the server suggests, only ever inside -d.
TEST_F(ZgetTest, ContentDispositionNamesTheFileInsideItsDirectory) {
  Misbehaviour suggesting;
  suggesting.contentDisposition = "attachment; filename=\"../../plain.bin\"; "
                                  "filename*=UTF-8''r%C3%A9sum%C3%A9.bin";
  const std::vector<uint8_t> body = patternBytes(3000, 16);
  server_.serve("/get", body, suggesting);
  Result result = run({"-d", "out", "--content-disposition", server_.url("/get")});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/out/r\xC3\xA9sum\xC3\xA9.bin"), asText(body));
  EXPECT_FALSE(fileExists(work() + "/out/get"));
  // The URL's name never existed: no word of one being taken.
  EXPECT_EQ(result.err.find("exists"), std::string::npos) << result.err;
  // An existing file of that name is kept; the new one takes the next free name, and the note
  // names the file that was in the way.
  result = run({"-d", "out", "--content-disposition", server_.url("/get")});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/out/r\xC3\xA9sum\xC3\xA9(1).bin"), asText(body));
  EXPECT_NE(result.err.find("/out/r\xC3\xA9sum\xC3\xA9.bin exists; saved as "), std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("/out/get exists"), std::string::npos) << result.err;
}

// -c continues a file another tool left: only the rest is fetched (from the compared overlap on),
// a whole file is kept, and a file that is not the server's, or a server without ranges, leaves
// the file as it was.
TEST_F(ZgetTest, ContinueExtendsAPartialFileOnlyWhenItIsTheServersStart) {
  const std::vector<uint8_t> body = patternBytes(3 << 20, 17);
  server_.serve("/part.bin", body);
  Misbehaviour whole;
  whole.ignoreRange = true;
  server_.serve("/whole.bin", body, whole);
  const std::string path = work() + "/part.bin";
  const size_t kept = 1234567;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(body.data()), kept);

  Result result = run({"-c", server_.url("/part.bin")});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(readText(path) == asText(body));
  for (const SeenRequest& seen : server_.requests()) {
    EXPECT_GE(std::stoll(seen.range.substr(6)), static_cast<long long>(kept - 65536)) << seen.range;
  }
  result = run({"-c", server_.url("/part.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("complete already"), std::string::npos) << result.err;

  // Another file under the name, a longer one, and a server that ignores ranges: left alone.
  std::string other = asText(body).substr(0, kept);
  other[kept - 10] ^= 1;
  const std::string longer = asText(body) + "tail";
  for (const auto& [url, content] : {std::pair{std::string("/part.bin"), other},
                                     std::pair{std::string("/part.bin"), longer},
                                     std::pair{std::string("/whole.bin"), other.substr(0, 200000)}}) {
    const std::string target = work() + url;
    std::ofstream(target, std::ios::binary) << content;
    const size_t requestsBefore = server_.requestCount();
    const int64_t sentBefore = server_.bodyBytesSent();
    result = run({"-c", "-q", server_.url(url)});
    EXPECT_EQ(result.exitCode, 1) << url;
    if (content.size() == kept) {
      // The stop at the mismatch asks for nothing more: one request for the compared bytes.
      EXPECT_EQ(server_.requestCount() - requestsBefore, 1u);
      EXPECT_LE(server_.bodyBytesSent() - sentBefore, 65536);
    }
    EXPECT_NE(result.err.find("run without -c"), std::string::npos) << result.err;
    EXPECT_EQ(readText(target), content) << url;
  }
}

// --- alternative hosts ---

TEST_F(ZgetTest, MirrorServesTheDownloadWhenTheMainHostRefuses) {
  const std::vector<uint8_t> body = patternBytes(150000, 13);
  server_.serve("/mirrored.bin", body);
  ClosedPort closed;
  const Result result =
      run({"-q", "--mirror", closed.host() + "=" + server_.host(), "--net-retries", "0",
           "--max-tries", "1", "--retry-wait", "0", "-k", "64K", closed.url("/mirrored.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/mirrored.bin"), asText(body));
  EXPECT_GT(server_.requestCount(), 0u);
}

TEST_F(ZgetTest, ProxyOptionCarriesTheDownloadAndBareNoProxyIgnoresTheEnvironment) {
  const std::vector<uint8_t> body = patternBytes(150000, 17);
  server_.serve("/proxied.bin", body);
  zephyl::test::TestProxyServer proxy("Basic YWdlbnQ6cHc=");  // agent:pw
  ASSERT_TRUE(proxy.started());
  const Result result =
      run({"-q", "-k", "64K", "--proxy", proxy.url("agent:pw"), server_.url("/proxied.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/proxied.bin"), asText(body));
  EXPECT_GT(server_.requestCount(), 0u);
  EXPECT_EQ(proxy.forwarded(), static_cast<int64_t>(server_.requestCount()));

  // A dead proxy in the environment; "--no-proxy" alone leaves the URL after it a URL.
  ClosedPort closed;
  std::map<std::string, std::string> env = environment();
  env["http_proxy"] = closed.url("");
  ChildProcess child;
  ASSERT_TRUE(child.start(binary(), {"-q", "--max-tries", "1", "--no-proxy", server_.url("/proxied.bin")},
                          work(), env, temp_.file("stdout"), temp_.file("stderr")));
  const Result direct = collect(&child, kRunTimeoutMs);
  EXPECT_EQ(direct.exitCode, 0) << direct.err;
  EXPECT_EQ(readText(work() + "/proxied(1).bin"), asText(body));
}

// --- interruption and resumption ---

TEST_F(ZgetTest, SigintStopsCleanlyAndTheRerunFetchesOnlyTheMissingRanges) {
  const int64_t size = 1 << 20;
  const std::vector<uint8_t> body = patternBytes(static_cast<size_t>(size), 14);
  Misbehaviour stall;
  stall.stallAfterBytes = 40000;
  stall.stallMs = 10000;
  server_.serve("/big.bin", body, stall);
  const std::string url = server_.url("/big.bin");
  const std::vector<std::string> command = {"-k", "64K", "-x", "2", url};

  ChildProcess child;
  ASSERT_TRUE(start(&child, command));
  ASSERT_TRUE(server_.waitForRequests(1, 20000));
  // The first 40000 bytes go out at once, then the answer stalls for ten seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  child.signal(SIGINT);
  // Each answer of the first run delivered its first stallAfterBytes bytes.
  std::vector<std::pair<int64_t, int64_t>> received;  // [first, end)
  for (const SeenRequest& request : server_.requests()) {
    int64_t first = 0;
    int64_t end = 0;
    ASSERT_TRUE(request.hasRange);
    servedSpan(request, size, &first, &end);
    received.emplace_back(first, std::min(end, first + stall.stallAfterBytes));
  }
  const Result stopped = collect(&child, 15000);
  EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
  EXPECT_NE(stopped.err.find("run the same command again to resume"), std::string::npos)
      << stopped.err;
  EXPECT_FALSE(fileExists(work() + "/big.bin"));

  Result shown = run({"--show-progress", url});
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  long long stored = -1;
  long long total = -1;
  const size_t figures = shown.out.find(", ");
  ASSERT_NE(figures, std::string::npos) << shown.out;
  ASSERT_EQ(std::sscanf(shown.out.c_str() + figures, ", %lld of %lld bytes", &stored, &total), 2)
      << shown.out;
  EXPECT_EQ(total, size);
  EXPECT_GT(stored, 0);
  EXPECT_LT(stored, size);

  server_.setMisbehaviour("/big.bin", Misbehaviour());
  server_.clearRequests();
  std::vector<std::string> again = command;
  again.insert(again.begin(), {"--check-md5", md5HexOf(body)});
  const Result resumed = run(again);
  EXPECT_EQ(resumed.exitCode, 0) << resumed.err;
  // The interrupt's line and the rerun's name the same amount: what the cache holds.
  const std::string amount = " big.bin at " + formatBytes(stored) + " of " + formatBytes(size);
  EXPECT_NE(stopped.err.find("stopped " + amount), std::string::npos) << stopped.err;
  EXPECT_NE(resumed.err.find("resuming" + amount), std::string::npos) << resumed.err;
  EXPECT_NE(resumed.err.find(" fetched) in "), std::string::npos) << resumed.err;
  EXPECT_EQ(readText(work() + "/big.bin"), asText(body));

  // Only what was missing went over the wire again: nothing the first run received, and
  // exactly as many bytes as were missing.
  for (const SeenRequest& request : server_.requests()) {
    int64_t first = 0;
    int64_t askedEnd = 0;
    ASSERT_TRUE(request.hasRange);
    servedSpan(request, size, &first, &askedEnd);
    for (const auto& [begin, end] : received) {
      EXPECT_TRUE(askedEnd <= begin || first >= end)
          << request.range << " asks again for bytes received in [" << begin << ", " << end << ")";
    }
  }
  EXPECT_EQ(bytesServedOnce(server_.requests(), size), size - stored);

  shown = run({"--show-progress", url});
  EXPECT_EQ(shown.exitCode, 1);
  EXPECT_NE(shown.out.find("nothing stored"), std::string::npos);
}

// --spider asks each URL as a download would and keeps nothing: a URL that answers is told with
// its length, one that does not fails the run; no file, nothing in the cache, and the body is
// not fetched.
TEST_F(ZgetTest, SpiderChecksEachUrlAndFetchesNothing) {
  const std::vector<uint8_t> body = patternBytes(8 << 20, 21);
  server_.serve("/there.bin", body);
  server_.serve("/empty.bin", std::vector<uint8_t>());
  Result result = run({"--spider", server_.url("/there.bin"), server_.url("/empty.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("/there.bin answers (" + formatBytes(8 << 20) + ")"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("/empty.bin answers (0 B)"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fileExists(work() + "/there.bin"));
  EXPECT_FALSE(fileExists(work() + "/empty.bin"));
  EXPECT_LT(server_.bodyBytesSent(), static_cast<int64_t>(body.size() / 4));
  const Result shown = run({"--show-progress", server_.url("/there.bin")});
  EXPECT_NE(shown.out.find("nothing stored"), std::string::npos) << shown.out;

  result = run({"--spider", "-S", server_.url("/there.bin"), server_.url("/gone.bin")});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.err.find("404"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("content-length"), std::string::npos) << result.err;
  EXPECT_FALSE(fileExists(work() + "/gone.bin"));
}

// --load-cookies sends the cookies of a Netscape cookie file where their host and path allow,
// and no other.
TEST_F(ZgetTest, LoadCookiesSendsTheFilesCookiesWhereTheyBelong) {
  server_.serve("/private/data.bin", patternBytes(5000, 22));
  const std::string cookies = temp_.file("cookies.txt");
  std::ofstream(cookies) << "# Netscape HTTP Cookie File\n"
                         << "127.0.0.1\tFALSE\t/private\tFALSE\t0\tsession\tabc123\n"
                         << "127.0.0.1\tFALSE\t/elsewhere\tFALSE\t0\tother\tno\n"
                         << ".example.org\tTRUE\t/\tFALSE\t0\tforeign\tno\n";
  const Result result = run({"-q", "--load-cookies", cookies, server_.url("/private/data.bin")});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  ASSERT_FALSE(server_.requests().empty());
  for (const SeenRequest& request : server_.requests()) {
    const auto cookie = request.headers.find("cookie");
    ASSERT_NE(cookie, request.headers.end());
    EXPECT_EQ(cookie->second, "session=abc123");
  }
  // Without the option, none.
  server_.clearRequests();
  ASSERT_EQ(run({"-q", "-o", "again.bin", server_.url("/private/data.bin")}).exitCode, 0);
  for (const SeenRequest& request : server_.requests()) {
    EXPECT_EQ(request.headers.count("cookie"), 0u);
  }
}

TEST_F(ZgetTest, SecondProcessForTheSameUrlWaitsThenResumesWhatTheFirstStored) {
  const int64_t size = 1 << 20;
  const std::vector<uint8_t> body = patternBytes(static_cast<size_t>(size), 17);
  Misbehaviour stall;
  stall.stallAfterBytes = 40000;
  stall.stallMs = 10000;
  stall.etag = "\"v1\"";  // stored bytes without a validator are never continued
  server_.serve("/held.bin", body, stall);
  const std::string url = server_.url("/held.bin");
  const std::vector<std::string> command = {"-q", "-k", "64K", "-x", "2", url};
  ChildProcess first;
  ASSERT_TRUE(first.start(binary(), command, work(), environment(), temp_.file("first.out"),
                          temp_.file("first.err")));
  ASSERT_TRUE(server_.waitForRequests(1, 20000));
  // The first 40000 bytes of each answer go out at once, then the answers stall.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const size_t firstRunRequests = server_.requestCount();

  ChildProcess second;
  ASSERT_TRUE(second.start(binary(), command, work(), environment(), temp_.file("second.out"),
                           temp_.file("second.err")));
  // It waits for the first instead of writing the same stored download beside it.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(server_.requestCount(), firstRunRequests);

  Misbehaviour healthy;
  healthy.etag = stall.etag;
  server_.setMisbehaviour("/held.bin", healthy);
  first.signal(SIGINT);
  int exitCode = -1;
  ASSERT_TRUE(first.wait(15000, &exitCode));
  EXPECT_EQ(exitCode, 130) << readText(temp_.file("first.err"));
  ASSERT_TRUE(second.wait(kRunTimeoutMs, &exitCode));
  EXPECT_EQ(exitCode, 0) << readText(temp_.file("second.err"));
  EXPECT_TRUE(readText(work() + "/held.bin") == asText(body));

  // The second run went on from the first run's bytes instead of fetching everything again.
  const std::vector<SeenRequest> requests = server_.requests();
  ASSERT_LE(firstRunRequests, requests.size());
  const int64_t requested = bytesServedOnce(
      std::vector<SeenRequest>(requests.begin() + static_cast<std::ptrdiff_t>(firstRunRequests),
                               requests.end()),
      size);
  EXPECT_GT(requested, 0);
  EXPECT_LT(requested, size);
}

TEST_F(ZgetTest, ClearCacheForgetsAnInterruptedDownload) {
  Misbehaviour stall;
  stall.stallAfterBytes = 5000;
  stall.stallMs = 10000;
  server_.serve("/dropped.bin", patternBytes(100000, 18), stall);
  const std::string url = server_.url("/dropped.bin");
  ChildProcess child;
  ASSERT_TRUE(start(&child, {"-q", url}));
  ASSERT_TRUE(server_.waitForRequests(1, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  child.signal(SIGINT);
  const Result stopped = collect(&child, 15000);
  ASSERT_EQ(stopped.exitCode, 130) << stopped.err;
  ASSERT_EQ(run({"--show-progress", url}).exitCode, 0);

  const Result cleared = run({"--clear-cache"});
  EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
  const Result shown = run({"--show-progress", url});
  EXPECT_EQ(shown.exitCode, 1);
  EXPECT_EQ(shown.out, url + ": nothing stored\n");
}

// --- the cache directory ---

// "--cache-dir ~" used to empty ~/temp: a directory with files zget did not make is refused by
// every command that uses the cache, and nothing in it is touched.
TEST_F(ZgetTest, CacheDirectoryHoldingOtherFilesIsRefusedAndLeftAlone) {
  server_.serve("/c.bin", patternBytes(1000, 20));
  const std::string url = server_.url("/c.bin");
  const std::string home = temp_.file("home");
  ASSERT_EQ(mkdir((home + "/temp").c_str(), 0755), 0);
  std::ofstream(home + "/temp/draft.txt") << "draft";
  std::ofstream(home + "/notes.txt") << "notes";
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"--cache-dir", home, url},
                                             {"--cache-dir", home, "--clear-cache"},
                                             {"--cache-dir", home, "--show-progress", url}}) {
    const Result result = run(command);
    EXPECT_EQ(result.exitCode, 1) << testing::PrintToString(command) << "\n" << result.err;
    EXPECT_NE(result.err.find("give --cache-dir a directory of its own"), std::string::npos)
        << result.err;
  }
  EXPECT_EQ(readText(home + "/temp/draft.txt"), "draft");
  EXPECT_EQ(readText(home + "/notes.txt"), "notes");
  EXPECT_EQ(server_.requestCount(), 0u);

  // A directory of its own serves, and takes nothing but the library's files.
  const Result own = run({"-q", "--cache-dir", temp_.file("own"), url});
  EXPECT_EQ(own.exitCode, 0) << own.err;
  EXPECT_TRUE(fileExists(temp_.file("own") + "/lruCache"));
}

// A link planted in the cache in place of a download's files would have the download write
// into whatever file it names.
TEST_F(ZgetTest, LinksPlantedInTheCacheAreNotWrittenThrough) {
  const std::vector<uint8_t> body = patternBytes(300000, 21);
  server_.serve("/planted.bin", body);
  const std::string url = server_.url("/planted.bin");
  const std::string key = fileKeyFromUrl(url);
  const std::string lruCache = cacheRoot() + "/lruCache";
  std::filesystem::create_directories(lruCache);
  std::ofstream(temp_.file("victim")) << "precious";
  std::ofstream(temp_.file("victim.info")) << "precious";
  std::filesystem::create_symlink(temp_.file("victim"), lruCache + "/" + key);
  std::filesystem::create_symlink(temp_.file("victim.info"), lruCache + "/" + key + ".info");

  const Result result = run({"-q", "-k", "64K", url});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(readText(work() + "/planted.bin") == asText(body));
  EXPECT_EQ(readText(temp_.file("victim")), "precious");
  EXPECT_EQ(readText(temp_.file("victim.info")), "precious");
}

// Files in the working directory named like the libraries zget loads (downloads, say) are never
// loaded in their place: a download into that directory finds every library it needs.
TEST_F(ZgetTest, LibrariesNamedInTheWorkingDirectoryAreNotLoaded) {
  for (const char* name : {"libzephyl.so.1", "libpelvar.so", "libcurl.so.4", "libstdc++.so.6",
                           "libcjson.so.1", "libcrypto.so.3", "libgcc_s.so.1", "libc.so.6"}) {
    std::ofstream(work() + "/" + name) << "not a library";
  }
  const std::vector<uint8_t> body = patternBytes(5000, 22);
  server_.serve("/next.bin", body);

  const Result result = run({"-q", server_.url("/next.bin")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(readText(work() + "/next.bin") == asText(body));
}

// --- progress display ---

TEST_F(ZgetTest, ProgressOnATerminalRedrawsInPlaceAtMostTenTimesASecond) {
  Misbehaviour slow;
  slow.stallAfterBytes = 100000;
  slow.stallMs = 1500;
  server_.serve("/slow.bin", patternBytes(200000, 15), slow);
  server_.serve("/quick.bin", patternBytes(20000, 16));

  ChildProcess child;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(child.startOnTerminal(binary(), {server_.url("/slow.bin"), server_.url("/quick.bin")},
                                    work(), environment()));
  const std::string output = child.readTerminal(30000);
  int exitCode = -1;
  ASSERT_TRUE(child.wait(10000, &exitCode));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(exitCode, 0) << output;

  const size_t redraws = countOf(output, "\r");
  EXPECT_GE(redraws, 3u) << output;
  EXPECT_LE(static_cast<double>(redraws), seconds * 10 + 2) << output;
  EXPECT_NE(output.find("\x1b[J"), std::string::npos);  // the old block is cleared, not appended
  // The batch line gives the share of the bytes: 100000 of 220000 bytes while slow.bin stalls
  // (quick.bin is done by then), never the share of finished downloads (50 %).
  EXPECT_NE(output.find("[1/2 done]  " + formatBytes(120000) + " / " + formatBytes(220000) +
                        "  54%"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("saved    " + work() + "/slow.bin"), std::string::npos) << output;
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.back(), '\n');
}

}  // namespace
// --limit-rate holds each download to its rate: 384 KiB at 128K take most of three seconds,
// where unlimited they take a few milliseconds; the bytes are exact.
TEST_F(ZgetTest, LimitRateHoldsTheDownloadToItsRate) {
  const std::vector<uint8_t> body = patternBytes(384 * 1024, 9);
  server_.serve("/slow.bin", body);
  const auto start = std::chrono::steady_clock::now();
  const Result result =
      run({"-q", "--limit-rate", "128K", "--max-overall-rate", "1M", server_.url("/slow.bin")});
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readText(work() + "/slow.bin"), asText(body));
  // The first receive buffer (128 KiB) comes at once; the rest is held to the rate.
  EXPECT_GE(seconds, 0.7 * 2.0);
}

}  // namespace zephyl::test
