#include "storage/path_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zephyl {
namespace {

struct TextCase {
  std::string input;
  std::string expected;
};

std::ostream& operator<<(std::ostream& out, const TextCase& c) {
  return out << '"' << c.input << "\" -> \"" << c.expected << '"';
}

// --- the root of a path ---

class PathRootTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(PathRootTest, RootEndsWhereTheSystemStopsReadingAPlace) {
  const TextCase& c = GetParam();
  EXPECT_EQ(c.input.substr(0, pathRootLength(c.input)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PathRootTest,
    ::testing::Values(TextCase{"dir/file", ""}, TextCase{"/usr/x", "/"},
                      TextCase{"///x", "/"}, TextCase{"C:", "C:"}, TextCase{"c:file", "c:"},
                      TextCase{"C:\\dl\\f", "C:\\"},
                      TextCase{"\\\\server\\share\\dl\\f", "\\\\server\\share\\"},
                      TextCase{"//server/share", "//server/share"},
                      TextCase{"\\\\server", "\\\\server"},
                      TextCase{"\\\\?\\C:\\dl", "\\\\?\\C:\\"},
                      TextCase{"\\\\?\\UNC\\srv\\share\\dl", "\\\\?\\UNC\\srv\\share\\"},
                      TextCase{"//?/unc/srv/share", "//?/unc/srv/share"},
                      TextCase{"\\\\.\\C:\\x", "\\\\.\\C:\\"}));

// --- the one spelling of a path ---

class NormalisePathTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(NormalisePathTest, SpellsOnePlaceOneWayAndKeepsItsRoot) {
  EXPECT_EQ(normalisePath(GetParam().input), GetParam().expected);
}

// The network share's leading "\\" is the fault this pins: folded to "/", the share became a
// folder at the root of the current drive.
INSTANTIATE_TEST_SUITE_P(
    Spellings, NormalisePathTest,
    ::testing::Values(TextCase{"", ""}, TextCase{"./", "."}, TextCase{"a//b/./c/", "a/b/c"},
                      TextCase{"/a/../b", "/a/../b"}, TextCase{"///", "/"},
                      TextCase{"\\\\server\\share\\dl\\", "//server/share/dl"},
                      TextCase{"//server/share/", "//server/share"},
                      TextCase{"\\\\?\\UNC\\srv\\share\\x", "//?/UNC/srv/share/x"},
                      TextCase{"\\\\?\\C:\\", "//?/C:/"}, TextCase{"C:\\cache\\", "C:/cache"},
                      TextCase{"C:\\", "C:/"}, TextCase{"C:", "C:"}, TextCase{"C:x\\y", "C:x/y"}));

// --- a derived name made safe ---

class MendFileNameTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(MendFileNameTest, NameFitsEverySystemAndStaysInItsDirectory) {
  EXPECT_EQ(mendFileName(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MendFileNameTest,
    ::testing::Values(
        TextCase{"report.pdf", "report.pdf"}, TextCase{"aux.txt", "_aux.txt"},
        TextCase{"CON", "_CON"}, TextCase{"con.tar.gz", "_con.tar.gz"},
        TextCase{"NUL.txt", "_NUL.txt"}, TextCase{"com1.bin", "_com1.bin"},
        TextCase{"Lpt9", "_Lpt9"}, TextCase{"prn .txt", "_prn .txt"}, TextCase{"aux.", "_aux"},
        TextCase{"COM\xC2\xB9", "_COM\xC2\xB9"}, TextCase{"conin$", "_conin$"},
        TextCase{"com10.bin", "com10.bin"}, TextCase{"auxiliary.txt", "auxiliary.txt"},
        TextCase{"lpt.txt", "lpt.txt"},
        TextCase{"a*b?c\"d<e>f|g:h", "a_b_c_d_e_f_g_h"}, TextCase{"x/y\\z", "x_y_z"},
        TextCase{"tab\there\x01\x7f", "tab_here__"},
        TextCase{"name. . ", "name"}, TextCase{"", ""}, TextCase{".", ""}, TextCase{"..", ""},
        TextCase{"...", ""}, TextCase{".. ", ""}, TextCase{". .", ""},
        TextCase{".profile", ".profile"}));

TEST(MendFileNameCutTest, LongNameKeepsItsExtensionAndWholeCharacters) {
  const std::string euro = "\xE2\x82\xAC";
  std::string name;
  for (int i = 0; i < 100; ++i) name += euro;
  const std::string mended = mendFileName(name + ".tar.gz");
  EXPECT_EQ(mended.size(), 3u * 84 + 3);  // 84 whole characters and ".gz" within 255 bytes
  EXPECT_EQ(mended.substr(mended.size() - 3), ".gz");
  EXPECT_EQ(mended.substr(0, 3), euro);
  // A cut that ends on dots leaves no trailing dot behind.
  EXPECT_EQ(mendFileName(std::string(254, 'a') + "...."), std::string(254, 'a'));
}

// --- an explicit path Windows cannot hold ---

struct FaultCase {
  std::string path;
  std::string named;  // what the reason must name; empty: no fault
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) {
  return out << '"' << c.path << '"';
}

class WindowsNameFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(WindowsNameFaultTest, FaultNamesThePartWindowsCannotHold) {
  const std::string fault = windowsNameFault(GetParam().path);
  if (GetParam().named.empty()) {
    EXPECT_EQ(fault, "") << GetParam().path;
  } else {
    EXPECT_NE(fault.find(GetParam().named), std::string::npos) << GetParam().path << ": " << fault;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WindowsNameFaultTest,
    ::testing::Values(FaultCase{"C:\\dl\\report.bin", ""},
                      FaultCase{"\\\\?\\UNC\\srv\\share\\x.bin", ""},
                      FaultCase{"\\\\?\\C:\\a\\..\\b", ""}, FaultCase{"rel/./x", ""},
                      FaultCase{"C:\\dl\\report|final.bin", "'|'"},
                      FaultCase{"sub/a?b", "'?'"}, FaultCase{"C:\\dl\\a:b", "':'"},
                      FaultCase{"C:\\dl\\x\x01y", "U+0001"},
                      FaultCase{"C:\\dl\\aux.txt", "\"aux.txt\""},
                      FaultCase{"C:\\nul\\x.bin", "\"nul\""},
                      FaultCase{"//srv/share/COM1.tar.gz", "\"COM1.tar.gz\""},
                      FaultCase{"\\\\.\\PhysicalDrive0", "device"}));

}  // namespace
}  // namespace zephyl
