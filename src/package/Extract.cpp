#include "app/Check.h"
#include "app/Launcher.h"
#include "package/Package.h"
#include "package/ZipPtr.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t readBufferSize = 1000000;
constexpr Milliseconds entryPause{5};
constexpr std::uint64_t mebibyte = 1048576;

bool isDirectoryTarget(const std::string& target) { return !target.empty() && target.back() == '/'; }

// Splits on "/" and "\" alike; calls visit with each component and the path up to it.
template <typename Visit>
bool anyComponent(const std::string& path, Visit visit) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (visit(path.substr(start, end - start), path.substr(0, end))) return true;
    start = end + 1;
  }
  return false;
}

// A symbolic link anywhere along the target (one left in the install directory by
// hand, say) would send the write elsewhere, so it counts as unsafe too.
bool passesThroughSymlink(const std::string& target) {
  return anyComponent(target, [](const std::string& part, const std::string& prefix) {
    return !part.empty() && platform::isSymlink(prefix);
  });
}

std::uint64_t declaredSize(zip_t* archive, zip_int64_t n) {
  std::uint64_t total = 0;
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t stat;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) == 0) total += stat.size;
  }
  return total;
}

// Empty when the entries fit on the install directory's file system, else the line
// that says how much is missing. Overwritten files are not counted as freed.
std::string diskSpaceShortage(zip_t* archive, std::int64_t n, const char* installDir) {
  const std::uint64_t need = declaredSize(archive, n);
  const auto free = platform::freeBytes(platform::isDirectory(installDir) ? installDir : ".");
  if (!free || need <= *free) return {};
  std::ostringstream line;
  line << "    Not enough free disk space (need " << (need + mebibyte - 1) / mebibyte << " MiB, " << *free / mebibyte
       << " MiB free).";
  return line.str();
}

enum class CopyResult { Copied, Dropped, OpenFailed, ReadFailed, Interrupted };

CopyResult copyEntry(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, const std::string& target,
                     char* buffer, const std::atomic<bool>& stop) {
  ZipFilePtr file(zip_fopen_index(archive, index, 0));
  if (!file) return CopyResult::OpenFailed;
  // A file that cannot be created swallows the data: the entry is read and dropped.
  std::ofstream out(target, std::ios::out | std::ios::binary | std::ios::trunc);
  const CopyResult done = out.is_open() ? CopyResult::Copied : CopyResult::Dropped;
  std::uint64_t sum = 0;
  while (sum != stat.size) {
    const zip_int64_t r = zip_fread(file.get(), buffer, readBufferSize);
    if (r <= 0) return CopyResult::ReadFailed;
    out.write(buffer, r);
    sum += static_cast<std::uint64_t>(r);
    QUARVEL_CHECK(sum <= stat.size);
    if (stop.load(std::memory_order_relaxed)) return CopyResult::Interrupted;
  }
  // Only a read past the end makes libzip compare the entry's checksum.
  return zip_fread(file.get(), buffer, readBufferSize) == 0 ? done : CopyResult::ReadFailed;
}

}  // namespace

unsigned entryMode(zip_t* archive, std::uint64_t index, bool directory) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  unsigned mode = directory ? 0755 : 0644;
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 && system == ZIP_OPSYS_UNIX &&
      ((attributes >> 16) & 0777) != 0)
    mode = (attributes >> 16) & 0777;
  return mode | (directory ? 0700u : 0600u);
}

std::string targetPath(const std::string& entryName, const std::string& installDir) {
  const std::size_t slash = entryName.find('/');
  return slash == std::string::npos ? installDir : installDir + entryName.substr(slash);
}

bool isUnsafeTarget(const std::string& target) {
  if (target.empty() || target.front() == '/' || target.front() == '\\') return true;
  return anyComponent(target, [](const std::string& part, const std::string&) { return part == ".."; });
}

int progressPercent(int k, std::int64_t n) {
  const float share = static_cast<float>(k) / static_cast<float>(n) * 100.0f;
  return static_cast<int>(static_cast<double>(share) + 0.5);
}

std::string progressLine(int k, std::int64_t n, const char* entryName) {
  std::ostringstream line;
  line << "    Extracting file " << k << " / " << n << " (" << progressPercent(k, n) << "%): " << entryName;
  return line.str();
}

bool Launcher::extractPackage() {
  addLogLine("Extracting package...");
  sleepFor(stageDelay);
  int error = 0;
  ZipPtr archive(zip_open(latestVersion.packageFile.c_str(), 0, &error));
  if (!archive) {
    addLogLine("    Failed to open archive.");
    return false;
  }
  addLogLine("    Extracting files");
  if (!extractEntries(archive.get())) return false;
  archive.reset();
  addLogLine("    Done.");
  stage.store(ReportReady, std::memory_order_release);
  return true;
}

bool Launcher::abortExtraction(const std::string& reason) {
  addLogLine(reason);
  addLogLine("    Aborting extraction.");
  return false;
}

bool Launcher::extractEntries(zip_t* archive) {
  const std::int64_t n = std::max<zip_int64_t>(zip_get_num_entries(archive, 0), 0);
  if (const std::string shortage = diskSpaceShortage(archive, n, installDir); !shortage.empty())
    return abortExtraction(shortage);
  const auto buffer = std::make_unique_for_overwrite<char[]>(readBufferSize);
  for (std::int64_t i = 0; i != n; ++i) {
    if (stopRequested()) return false;
    const auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t stat;
    if (zip_stat_index(archive, index, 0, &stat) != 0) continue;
    replaceLastLogLine(progressLine(static_cast<int>(i + 1), n, stat.name));
    sleepFor(entryPause);

    const std::string target = targetPath(stat.name, installDir);
    if (isUnsafeTarget(target) || passesThroughSymlink(target))
      return abortExtraction(std::string("    Unsafe path in package ") + stat.name);
    platform::makeDirectory(std::string(installDir) + "/");
    const bool directory = isDirectoryTarget(target);
    if (directory && platform::makeDirectory(target) == platform::MakeDirResult::Failed)
      return abortExtraction("    Failed to create directory " + target);
    if (!directory) {
      switch (copyEntry(archive, index, stat, target, buffer.get(), stopping)) {
        case CopyResult::Copied: break;
        case CopyResult::Dropped: continue;  // nothing was written, so there is nothing to give a mode
        case CopyResult::OpenFailed: return abortExtraction("    Failed to open file " + target);
        case CopyResult::ReadFailed: return abortExtraction("    Failed to read file " + target);
        case CopyResult::Interrupted: return false;
      }
    }
    platform::setFileMode(target, entryMode(archive, index, directory));
  }
  return true;
}
