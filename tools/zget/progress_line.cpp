#include "progress_line.h"

#include <algorithm>
#include <vector>

#include "display_width.h"

namespace zget {
namespace {

std::string joined(const std::vector<const std::string*>& parts) {
  std::string text;
  for (const std::string* part : parts) {
    if (part->empty()) continue;
    if (!text.empty()) text += "  ";
    text += *part;
  }
  return text;
}

}  // namespace

std::string composeDownloadLine(const std::string& name, const LineFigures& figures, size_t width) {
  const std::string amount =
      figures.total.empty() ? figures.done : figures.done + " / " + figures.total;
  // From the richest to the barest: the first whose figures leave the name its room wins.
  const std::vector<std::string> variants = {
      joined({&amount, &figures.percent, &figures.rate, &figures.left}),
      joined({&figures.done, &figures.percent, &figures.rate, &figures.left}),
      joined({&figures.percent, &figures.rate, &figures.left}),
      joined({&figures.percent, &figures.rate}),
      joined({&figures.percent}),
  };
  const size_t nameColumns = displayColumns(name);
  const size_t wantedName = std::min(nameColumns, kMinNameColumns);
  std::string right = variants.back().empty() ? amount : variants.back();
  for (const std::string& variant : variants) {
    if (variant.empty()) continue;
    if (4 + wantedName + displayColumns(variant) <= width) {
      right = variant;
      break;
    }
  }
  const size_t used = 4 + displayColumns(right);
  const size_t nameRoom = width > used ? width - used : 0;
  // Whatever is left too wide (a width below any layout) is cut as a whole.
  return fitColumns("  " + fitColumns(name, std::max(nameRoom, wantedName)) + "  " + right, width);
}

}  // namespace zget
