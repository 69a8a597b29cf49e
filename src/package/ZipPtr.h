#pragma once

#include <zip.h>

#include <memory>

// Owning pointers for libzip handles. An archive that cannot be closed cleanly
// (only possible after changes) is discarded so that its memory is still freed.
struct ZipDeleter {
  void operator()(zip_t* archive) const {
    if (zip_close(archive) != 0) zip_discard(archive);
  }
  void operator()(zip_file_t* file) const { zip_fclose(file); }
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};

using ZipPtr = std::unique_ptr<zip_t, ZipDeleter>;
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipDeleter>;
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipDeleter>;
