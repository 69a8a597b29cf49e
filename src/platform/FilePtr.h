#pragma once

#include <cstdio>
#include <memory>

// An owning pointer for a C file.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
