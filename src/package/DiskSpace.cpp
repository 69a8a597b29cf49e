// What an update adds to the disk, counted before its first write, so that a disk too small
// for it is said at once instead of half way through.
#include "package/DiskSpace.h"
#include "package/ExtractSteps.h"
#include "platform/Platform.h"

#include <algorithm>
#include <sstream>
#include <unordered_map>

namespace {

constexpr std::uint64_t mebibyte = 1048576;
constexpr std::uint64_t diskBlock = 4096;

// Whole blocks' worth of bytes; an empty file or folder still takes a block.
std::uint64_t blocks(std::uint64_t bytes) {
  return std::max<std::uint64_t>(1, (bytes + diskBlock - 1) / diskBlock) * diskBlock;
}

}  // namespace

// What one target adds to the disk: its size less what the file it replaces holds
// already, in whole blocks, since that is how file systems hand out space. A folder that
// exists takes nothing more: a folder entry finds it there, and a file's data bound for
// it is dropped.
std::uint64_t bytesAdded(const std::string& target, std::uint64_t size) {
  if (platform::isDirectory(target)) return 0;
  if (isDirectoryTarget(target)) return diskBlock;
  const auto existing = platform::fileSizeLow32(target);
  const std::uint64_t had = existing ? blocks(*existing) : 0;
  const std::uint64_t need = blocks(std::min<std::uint64_t>(size, UINT64_MAX - diskBlock));
  return need > had ? need - had : 0;
}

std::uint64_t addCapped(std::uint64_t total, std::uint64_t more) {
  return more > UINT64_MAX - total ? UINT64_MAX : total + more;
}

std::string diskSpaceShortage(std::uint64_t need, const std::string& installDir) {
  const auto free = platform::freeBytes(platform::isDirectory(installDir) ? installDir : ".");
  if (!free || need <= *free) return {};
  std::ostringstream line;
  line << "    Not enough free disk space (need " << need / mebibyte + (need % mebibyte != 0) << " MiB, "
       << *free / mebibyte << " MiB free).";
  return line.str();
}

// The bytes the package adds to the disk. A name stored twice is written twice but
// leaves one file, the last one's, so each target counts once.
std::uint64_t packageBytesNeeded(zip_t* archive, std::int64_t n, const std::string& installDir) {
  std::unordered_map<std::string, std::uint64_t> sizes;
  for (std::int64_t i = 0; i < n; ++i) {
    zip_stat_t stat;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) != 0) continue;
    sizes[targetPath(stat.name, installDir)] = stat.size;
  }
  std::uint64_t total = 0;
  for (const auto& [target, size] : sizes) total = addCapped(total, bytesAdded(target, size));
  return total;
}
