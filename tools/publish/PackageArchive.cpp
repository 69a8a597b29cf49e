#include "PackageArchive.h"

#include "Refusal.h"
#include "package/ZipPtr.h"

#include <array>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkSize = 65536;

std::string openErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

zip_int64_t addData(zip_t* archive, const PlannedEntry& entry) {
  ZipSourcePtr source(zip_source_file(archive, entry.source.c_str(), 0, -1));
  if (!source) return -1;
  const zip_int64_t index = zip_file_add(archive, entry.name.c_str(), source.get(), ZIP_FL_ENC_GUESS);
  if (index >= 0) (void)source.release();  // the archive owns it now
  return index;
}

void addEntry(zip_t* archive, const PlannedEntry& entry) {
  const zip_int64_t index =
      entry.isFolder() ? zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_GUESS) : addData(archive, entry);
  if (index < 0) throw Refusal("cannot add '" + entry.source.string() + "' to the package: " + zip_strerror(archive));
  const auto i = static_cast<zip_uint64_t>(index);
  if (!entry.isFolder() && zip_set_file_compression(archive, i, entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0) != 0)
    throw Refusal(std::string("cannot compress the package: ") + zip_strerror(archive));
  // The launcher restores these bits; the file type in the high bits tells unzip what the entry is.
  if (zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, static_cast<zip_uint32_t>(entry.mode) << 16) != 0)
    throw Refusal(std::string("cannot store the permissions of '") + entry.name + "': " + zip_strerror(archive));
}

bool sameMode(zip_t* archive, zip_uint64_t index, unsigned mode) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  return zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 && system == ZIP_OPSYS_UNIX &&
         (attributes >> 16) == mode;
}

bool sameData(zip_t* archive, zip_uint64_t index, const fs::path& source) {
  ZipFilePtr stored(zip_fopen_index(archive, index, 0));
  std::ifstream file(source, std::ios::binary);
  if (!stored || !file) return false;
  std::array<char, chunkSize> fromArchive;
  std::array<char, chunkSize> fromFile;
  for (;;) {
    const zip_int64_t n = zip_fread(stored.get(), fromArchive.data(), fromArchive.size());
    if (n < 0) return false;
    file.read(fromFile.data(), n);
    if (file.gcount() != n || std::memcmp(fromArchive.data(), fromFile.data(), static_cast<std::size_t>(n)) != 0)
      return false;
    // Both ends must be reached together: the archive's entry and the build's file.
    if (n == 0) return file.peek() == std::ifstream::traits_type::eof();
  }
}

bool sameEntry(zip_t* archive, zip_uint64_t index, const PlannedEntry& entry) {
  const char* name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
  return name && entry.name == name && sameMode(archive, index, entry.mode) &&
         (entry.isFolder() || sameData(archive, index, entry.source));
}

}  // namespace

void writePackage(const fs::path& path, const std::vector<PlannedEntry>& entries) {
  int error = 0;
  ZipPtr archive(zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &error));
  if (!archive) throw Refusal("cannot create '" + path.string() + "': " + openErrorText(error));
  for (const PlannedEntry& entry : entries) addEntry(archive.get(), entry);
  // The files are read only now, while the archive is written out.
  if (zip_close(archive.get()) != 0) {
    const std::string reason = zip_strerror(archive.get());
    zip_discard(archive.release());
    throw Refusal("cannot write the package: " + reason);
  }
  (void)archive.release();
}

namespace {

void unpackEntry(zip_t* archive, zip_uint64_t index, const fs::path& target, unsigned mode) {
  ZipFilePtr stored(zip_fopen_index(archive, index, 0));
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  std::array<char, chunkSize> chunk;
  zip_int64_t n = 0;
  while (stored && out && (n = zip_fread(stored.get(), chunk.data(), chunk.size())) > 0) out.write(chunk.data(), n);
  out.close();
  if (!stored || n < 0 || !out) throw Refusal("cannot unpack '" + target.string() + "'");
  fs::permissions(target, static_cast<fs::perms>(mode & 07777));
}

}  // namespace

void unpackPackage(const fs::path& path, const fs::path& into) {
  int error = 0;
  const ZipPtr archive(zip_open(path.c_str(), ZIP_RDONLY, &error));
  if (!archive) throw Refusal("cannot open '" + path.string() + "': " + openErrorText(error));
  fs::create_directories(into);
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive.get(), 0); ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    const std::string name = zip_get_name(archive.get(), index, 0);
    const std::string inside = name.substr(std::min(name.find('/') + 1, name.size()));
    if (inside.empty() || inside.find("..") != std::string::npos || inside.front() == '/') continue;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    zip_file_get_external_attributes(archive.get(), index, 0, &system, &attributes);
    const unsigned mode = system == ZIP_OPSYS_UNIX ? attributes >> 16 : 0644;
    if (inside.back() == '/')
      fs::create_directories(into / inside);
    else
      unpackEntry(archive.get(), index, into / inside, mode);
  }
}

bool holdsSameEntries(const fs::path& path, const std::vector<PlannedEntry>& entries) {
  int error = 0;
  ZipPtr archive(zip_open(path.c_str(), ZIP_RDONLY, &error));
  if (!archive || zip_get_num_entries(archive.get(), 0) != static_cast<zip_int64_t>(entries.size())) return false;
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (!sameEntry(archive.get(), i, entries[i])) return false;
  return true;
}
