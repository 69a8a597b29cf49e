#pragma once

#include <zip.h>

#include <memory>
#include <optional>
#include <string>

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

// The whole of a small entry: none when it is missing, larger than limit, or cannot be read
// whole. What an archive claims as a size is never allocated beyond limit.
inline std::optional<std::string> readSmallEntry(zip_t* archive, const char* name, std::size_t limit) {
  zip_stat_t stat;
  if (zip_stat(archive, name, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) || stat.size > limit) return std::nullopt;
  const ZipFilePtr file(zip_fopen(archive, name, 0));
  std::string text(stat.size, '\0');
  if (!file || zip_fread(file.get(), text.data(), stat.size) != static_cast<zip_int64_t>(stat.size)) return std::nullopt;
  return text;
}
