// Owner of a C stream opened through the file-system layer: closes it on every path.
#pragma once

#include <cstdio>
#include <memory>

namespace zephyl {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

using FileHandle = std::unique_ptr<FILE, FileCloser>;

}  // namespace zephyl
