// zget's display: the width of text in terminal columns, a download's line fitted to narrow
// terminals, and the live block after an interrupt (the display writing into a pipe as onto a
// terminal).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "display_width.h"
#include "progress_board.h"
#include "progress_display.h"
#include "progress_line.h"
#include "speed_meter.h"
#include "support/temp_dir.h"

namespace zget {
namespace {

const std::string kCjkName =
    "\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D\xE7\xA7\xB0.iso";  // 文件名称.iso

TEST(DisplayWidthTest, WideCharactersTakeTwoColumnsAndMarksNone) {
  EXPECT_EQ(displayColumns("file.iso"), 8u);
  EXPECT_EQ(displayColumns(kCjkName), 12u);           // four wide, four narrow
  EXPECT_EQ(displayColumns("\xED\x95\x9C"), 2u);      // Hangul
  EXPECT_EQ(displayColumns("\xF0\x9F\x98\x80"), 2u);  // an emoji
  EXPECT_EQ(displayColumns("e\xCC\x81"), 1u);         // e and a combining accent
  EXPECT_EQ(displayColumns("Jos\xC3\xA9"), 4u);       // Latin-1 letters: one each
  EXPECT_EQ(displayColumns("\xFF\xE6"), 2u);          // not UTF-8: a byte a column
  EXPECT_EQ(displayColumns("\xE6\x96"), 2u);          // a cut sequence too
}

TEST(DisplayWidthTest, CutTextNeverPassesItsColumnsNorSplitsACharacter) {
  for (size_t columns = 0; columns <= 14; ++columns) {
    SCOPED_TRACE(columns);
    const std::string cut = fitColumns(kCjkName, columns);
    EXPECT_LE(displayColumns(cut), columns) << cut;
    if (columns >= 12) {
      EXPECT_EQ(cut, kCjkName);
    }
    if (columns > 3 && columns < 12) {
      // Whole characters before the dots: the text before them is a prefix of the name.
      const std::string kept = cut.substr(0, cut.size() - 3);
      EXPECT_EQ(kCjkName.compare(0, kept.size(), kept), 0);
      EXPECT_EQ(cut.substr(cut.size() - 3), "...");
    }
  }
  // 文 takes two columns: with five to fill, one wide character and the dots.
  EXPECT_EQ(fitColumns(kCjkName, 5), "\xE6\x96\x87...");
}

LineFigures runningFigures() {
  LineFigures figures;
  figures.done = "2.63 MiB";
  figures.total = "300 MiB";
  figures.percent = "1%";
  figures.rate = "1.42 MiB/s";
  figures.left = "3:28 left";
  return figures;
}

struct LineCase {
  std::string name;
  size_t width;
  std::vector<std::string> shown;    // figures the line keeps
  std::vector<std::string> dropped;  // figures it leaves out
};

class DownloadLineTest : public testing::TestWithParam<LineCase> {};

// The name is cut down (to kMinNameColumns) before any figure goes; the rate and the time left
// are the last to go.
TEST_P(DownloadLineTest, NameIsShortenedBeforeRateAndTimeLeftAreDropped) {
  const LineCase& c = GetParam();
  const std::string line = composeDownloadLine(c.name, runningFigures(), c.width);
  EXPECT_LE(displayColumns(line), c.width) << line;
  for (const std::string& figure : c.shown) EXPECT_NE(line.find(figure), std::string::npos) << line;
  for (const std::string& figure : c.dropped)
    EXPECT_EQ(line.find(figure), std::string::npos) << line;
  // The name keeps at least its first columns.
  EXPECT_EQ(line.substr(0, 4), "  " + c.name.substr(0, 2)) << line;
}

const std::string kLongName = "ubuntu-24.04.1-desktop-amd64-with-a-very-long-suffix.iso";

INSTANTIATE_TEST_SUITE_P(
    Widths, DownloadLineTest,
    testing::Values(
        LineCase{
            kLongName, 120, {kLongName, "2.63 MiB / 300 MiB", "1%", "1.42 MiB/s", "3:28 left"}, {}},
        LineCase{kLongName, 77, {"2.63 MiB / 300 MiB", "1.42 MiB/s", "3:28 left", "..."}, {}},
        LineCase{kLongName, 37, {"1%", "1.42 MiB/s", "3:28 left", "..."}, {"300 MiB"}},
        LineCase{"a.iso", 37, {"a.iso", "1%", "1.42 MiB/s", "3:28 left"}, {"300 MiB"}},
        LineCase{kCjkName, 37, {"1.42 MiB/s", "3:28 left"}, {"300 MiB"}},
        LineCase{kLongName, 26, {"1%", "1.42 MiB/s"}, {"left", "300 MiB"}}));

// Counts sampled every 200 ms, growing by stepBytes every stepMs until stopAtMs; the meter's
// reading at readAtMs.
double meterReading(int64_t stepBytes, int64_t stepMs, int64_t stopAtMs, int64_t readAtMs) {
  SpeedMeter meter;
  for (int64_t now = 0; now <= readAtMs; now += 200) {
    const int64_t counted = std::min(now, stopAtMs) / stepMs * stepBytes;
    meter.add(now, counted);
  }
  return meter.bytesPerSecond(readAtMs);
}

// Progress that arrives a block at a time (4 MiB every 1.9 s, so that a window of three seconds
// holds one step or two) is read at its true rate, not at the share of steps a window happens to
// hold; smooth progress too; a stall brings it down.
TEST(SpeedMeterTest, RateIsTrueForSteppedProgressAndFallsWhenItStalls) {
  const double trueRate = (4 << 20) / 1.9;
  for (const int64_t readAtMs : {10000, 10600, 11200, 11800}) {
    SCOPED_TRACE(readAtMs);
    EXPECT_NEAR(meterReading(4 << 20, 1900, 1 << 30, readAtMs), trueRate, trueRate * 0.03);
  }
  const double smooth = meterReading(1 << 20, 200, 1 << 30, 10000);
  EXPECT_NEAR(smooth, 5.0 * (1 << 20), 0.03 * 5.0 * (1 << 20));
  EXPECT_LT(meterReading(4 << 20, 1900, 4000, 12000), trueRate / 2);
}

// The rows the terminal shows: each redraw starts with a carriage return, so a row is what a
// redraw leaves between line breaks.
std::vector<std::string> rowsOf(const std::string& output) {
  std::vector<std::string> rows;
  std::string row;
  for (const char c : output) {
    if (c == '\n' || c == '\r') {
      if (!row.empty()) rows.push_back(row);
      row.clear();
    } else {
      row += c;
    }
  }
  if (!row.empty()) rows.push_back(row);
  return rows;
}

// After Ctrl-C the live row is cleared: the last redraw starts at the row's beginning, clears to
// the end of the screen and writes only notes. Every live row leaves the columns of the "^C" a
// terminal echoes free, so that the echo cannot wrap the cursor onto a row the redraw misses.
// The display writes into a file as onto a terminal.
TEST(ProgressDisplayTest, AnInterruptLeavesNoLiveRowAndTheEchoRoomFree) {
  zephyl::test::TempDir temp;
  const std::string path = temp.file("screen");
  std::FILE* screen = std::fopen(path.c_str(), "wb");
  ASSERT_NE(screen, nullptr);
  ProgressBoard board({kLongName}, {"/tmp/" + kLongName});
  board.started(0);
  board.progress(0, 2000000, 300000000);
  {
    ProgressDisplay display(&board, ProgressDisplay::Mode::kTerminal, fileno(screen), 5000);
    display.start();
    // Past one redraw interval: the live row is on the screen.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(ProgressDisplay::kRedrawIntervalMs + 150));
    board.progress(0, 2600000, 300000000);
    board.interrupted();
    board.finished(0, kFailed, 0, std::string());
    display.stop();
  }
  std::fclose(screen);
  std::ostringstream read;
  read << std::ifstream(path, std::ios::binary).rdbuf();
  const std::string output = read.str();

  const size_t lastRedraw = output.rfind("\r\x1b[J");
  ASSERT_NE(lastRedraw, std::string::npos) << output;
  EXPECT_NE(output.substr(0, lastRedraw).find(kLongName.substr(0, 6)), std::string::npos);
  const std::string after = output.substr(lastRedraw + 4);
  EXPECT_EQ(after.find(kLongName.substr(0, 6)), std::string::npos) << after;
  EXPECT_NE(after.find("interrupted"), std::string::npos) << after;
  EXPECT_EQ(after.back(), '\n');
  // A pipe has no width: the display takes 80 columns and keeps three free.
  for (const std::string& row : rowsOf(output)) {
    std::string shown;
    for (size_t i = 0; i < row.size(); ++i) {
      if (row[i] == '\x1b') {
        while (i < row.size() && (row[i] < 'A' || row[i] > 'Z')) ++i;  // an escape sequence
        continue;
      }
      shown += row[i];
    }
    EXPECT_LE(displayColumns(shown), 77u) << shown;
  }
}

}  // namespace
}  // namespace zget
