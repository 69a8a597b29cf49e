#include "base/Check.h"
#include "base/OwnNames.h"
#include "package/DiskSpace.h"
#include "package/ExtractSteps.h"
#include "package/Package.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr unsigned fileTypeBits = 0170000, regularFile = 0100000, directoryType = 0040000;

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

}  // namespace

// A symbolic link below the install directory (one left there by hand, say) would send
// the write elsewhere, so it counts as unsafe too. The install directory itself may be
// a link: a player who moved the game elsewhere keeps getting updates there.
bool passesThroughSymlink(const std::string& target, const std::string& installDir) {
  return anyComponent(target, [&](const std::string& part, const std::string& prefix) {
    return !part.empty() && prefix != installDir && platform::isSymlink(prefix);
  });
}

CopyResult copyEntry(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, const std::string& target,
                     char* buffer, const ExtractionHooks& hooks, std::string* dropWords) {
  ZipFilePtr file(zip_fopen_index(archive, index, 0));
  if (!file) return CopyResult::OpenFailed;
  platform::allowOwnerWrite(target);
  // A file that cannot be created swallows the data: the entry is read and dropped.
  std::ofstream out(target, std::ios::out | std::ios::binary | std::ios::trunc);
  const CopyResult done = out.is_open() ? CopyResult::Copied : CopyResult::Dropped;
  if (done == CopyResult::Dropped && dropWords) *dropWords = platform::lastErrorText();
  std::uint64_t sum = 0;
  while (sum != stat.size) {
    // Never more than the entry declares: a stream longer than its header says is then
    // caught by the read past the end below instead of overrunning the count.
    const auto want = static_cast<zip_uint64_t>(std::min<std::uint64_t>(readBufferSize, stat.size - sum));
    const zip_int64_t r = zip_fread(file.get(), buffer, want);
    // A damaged entry aborts the whole extraction rather than leaving a short file
    // behind that the version file would then vouch for.
    if (r <= 0) return CopyResult::ReadFailed;
    out.write(buffer, r);
    sum += static_cast<std::uint64_t>(r);
    QUARVEL_CHECK(sum <= stat.size);
    if (hooks.report.stopRequested()) return CopyResult::Interrupted;
  }
  // Only a read past the end makes libzip compare the entry's checksum.
  if (zip_fread(file.get(), buffer, readBufferSize) != 0) return CopyResult::ReadFailed;
  out.close();
  return done == CopyResult::Copied && out.fail() ? CopyResult::WriteFailed : done;
}

bool isDirectoryTarget(const std::string& target) { return !target.empty() && target.back() == '/'; }

std::string pathOf(const std::string& target) {
  return isDirectoryTarget(target) ? target.substr(0, target.size() - 1) : target;
}

std::string folderOf(const std::string& target) {
  const std::string path = pathOf(target);
  return path.substr(0, std::min(path.rfind('/'), path.size()));
}

// The new build's shape wins inside the install directory: a file of the new build takes the
// place of a folder of the installed one, and a folder that of a file. Unlike the silent skips
// of a file at the install directory itself or one without its folder, which a package made
// that way has always had, this is a studio reorganising its folders between two builds: the
// new build is what must stand there once it is recorded. The caller has refused targets that
// leave the install directory or pass through a link; remove_all removes a link itself, never
// what it points at. The removal reaches the disk with the flush before the build is recorded.
std::optional<std::string> makeRoomFor(const std::string& target, const std::string& installDir) {
  const std::string path = pathOf(target);
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (path == installDir || !fs::exists(status) || fs::is_directory(status) == isDirectoryTarget(target))
    return std::nullopt;
  fs::remove_all(path, error);
  if (error) return error.message();
  return std::nullopt;
}

// The system's words go to the log file only, after the line the player sees.
bool abortExtraction(const ExtractionHooks& hooks, const std::string& reason, const std::string& systemWords) {
  hooks.report.addLine(reason);
  if (!systemWords.empty()) hooks.report.detail(reason.substr(4) + ": " + systemWords);
  hooks.report.addLine("    Aborting extraction.");
  return false;
}

namespace {

// One extraction's archive, destination and what it has written so far.
struct Extraction {
  zip_t* archive;
  const std::string& installDir;
  const ExtractionHooks& hooks;
  std::vector<std::string>& written;
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(readBufferSize);
  bool writing = false;
};

// False when the extraction ends here.
bool writeFileEntry(Extraction& x, zip_uint64_t index, const zip_stat_t& stat, const std::string& target) {
  std::string dropWords;
  switch (copyEntry(x.archive, index, stat, target, x.buffer.get(), x.hooks, &dropWords)) {
    case CopyResult::Copied:
      x.written.push_back(target);
      std::remove((target + patchCopySuffix).c_str());  // a patch's copy that a kill left beside it
      platform::setFileMode(target, entryMode(x.archive, index, false));
      return true;
    case CopyResult::Dropped:
      // Nothing was written, so there is nothing to give a mode. Dropped in silence are only
      // a file that maps to the install directory itself and one whose folder is not there
      // (no entry came before it); any other file left out would leave a build recorded
      // whole with a file missing.
      if (target == x.installDir || !platform::isDirectory(folderOf(target))) return true;
      return abortExtraction(x.hooks, "    Failed to write file " + target, dropWords);
    case CopyResult::OpenFailed: return abortExtraction(x.hooks, "    Failed to open file " + target);
    case CopyResult::ReadFailed: return abortExtraction(x.hooks, "    Failed to read file " + target);
    case CopyResult::WriteFailed:
      return abortExtraction(x.hooks, "    Failed to write file " + target, platform::lastErrorText());
    case CopyResult::Interrupted: return false;
  }
  return false;
}

// False when the extraction ends here.
bool extractEntry(Extraction& x, zip_uint64_t index, std::int64_t entries) {
  zip_stat_t stat;
  if (zip_stat_index(x.archive, index, 0, &stat) != 0) return true;
  x.hooks.report.replaceLine(progressLine(static_cast<int>(index + 1), entries, stat.name));
  x.hooks.report.pause(entryPause);

  const std::string target = targetPath(stat.name, x.installDir);
  if (isUnsafeTarget(target) || passesThroughSymlink(target, x.installDir))
    return abortExtraction(x.hooks, std::string("    Unsafe path in package ") + stat.name);
  if (!x.writing) {
    if (const auto failure = x.hooks.beginWriting()) return abortExtraction(x.hooks, *failure);
    x.writing = true;
  }
  platform::makeDirectory(x.installDir + "/");
  if (const auto failure = makeRoomFor(target, x.installDir))
    return abortExtraction(x.hooks, "    Failed to remove " + pathOf(target), *failure);
  if (!isDirectoryTarget(target)) return writeFileEntry(x, index, stat, target);
  if (platform::makeDirectory(target) == platform::MakeDirResult::Failed)
    return abortExtraction(x.hooks, "    Failed to create directory " + target, platform::lastErrorText());
  platform::setFileMode(target, entryMode(x.archive, index, true));
  return true;
}

bool extractEntries(zip_t* archive, const std::string& installDir, const ExtractionHooks& hooks,
                    std::vector<std::string>& written) {
  const std::int64_t n = std::max<zip_int64_t>(zip_get_num_entries(archive, 0), 0);
  if (const std::string shortage = diskSpaceShortage(packageBytesNeeded(archive, n, installDir), installDir);
      !shortage.empty())
    return abortExtraction(hooks, shortage);
  Extraction extraction{archive, installDir, hooks, written};
  for (std::int64_t i = 0; i != n; ++i) {
    if (hooks.report.stopRequested()) return false;
    if (!extractEntry(extraction, static_cast<zip_uint64_t>(i), n)) return false;
  }
  return true;
}

}  // namespace

unsigned entryMode(zip_t* archive, std::uint64_t index, bool directory) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  unsigned mode = directory ? 0755 : 0644;
  // Only the bits of plain files and folders are taken over: a symbolic link's 0777,
  // say, would make the plain file written in its place writable by everyone.
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) == 0 && system == ZIP_OPSYS_UNIX) {
    const unsigned bits = (attributes >> 16) & 0777, type = (attributes >> 16) & fileTypeBits;
    if (bits != 0 && (type == 0 || type == regularFile || type == directoryType)) mode = bits;
  }
  return permittedMode(mode, directory);
}

unsigned permittedMode(unsigned mode, bool directory) { return (mode & 0777u) | (directory ? 0700u : 0600u); }

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

OpenedArchive openArchive(const FilePtr& package, zip_error_t& error) {
  OpenedArchive opened{std::make_unique_for_overwrite<char[]>(archiveBufferSize), nullptr};
  FilePtr reader(platform::reopenForReading(package.get()));
  if (!reader || std::setvbuf(reader.get(), opened.readBuffer.get(), _IOFBF, archiveBufferSize) != 0 ||
      std::fseek(reader.get(), 0, SEEK_SET) != 0) {
    zip_error_set(&error, ZIP_ER_READ, errno);
    return opened;
  }
  ZipSourcePtr source(zip_source_filep_create(reader.get(), 0, -1, &error));
  if (!source) return opened;
  reader.release();  // the source closes it
  opened.zip.reset(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
  if (opened.zip) source.release();  // the archive frees it
  return opened;
}

bool extractArchive(const std::string& packageFile, const std::string& installDir, const ExtractionHooks& hooks) {
  return extractArchive(FilePtr(std::fopen(packageFile.c_str(), "rb")), packageFile, installDir, hooks);
}

bool extractArchive(FilePtr package, const std::string& packageName, const std::string& installDir,
                    const ExtractionHooks& hooks) {
  zip_error_t error;
  zip_error_init(&error);
  OpenedArchive archive = package ? openArchive(package, error) : OpenedArchive{};
  if (!archive.zip) {
    hooks.report.addLine("    Failed to open archive.");
    hooks.report.detail("cannot open '" + packageName + "' as an archive: " +
                 (zip_error_code_zip(&error) != ZIP_ER_OK ? zip_error_strerror(&error) : "the download left no whole file"));
    zip_error_fini(&error);
    return false;
  }
  zip_error_fini(&error);
  hooks.report.addLine("    Extracting files");
  std::vector<std::string> written;
  if (!extractEntries(archive.zip.get(), installDir, hooks, written)) return false;
  archive.zip.reset();
  // The build is recorded as installed after this returns true, so every file written
  // must reach the disk first: a power cut may otherwise keep the record and lose the data.
  const auto flushStart = std::chrono::steady_clock::now();
  if (const auto failed = platform::flushToDisk(installDir, written))
    return abortExtraction(hooks, "    Failed to write file " + *failed, platform::lastErrorText());
  const std::chrono::duration<double> flushed = std::chrono::steady_clock::now() - flushStart;
  hooks.report.detail("the " + std::to_string(written.size()) + " files written are on the disk after a flush of " +
               std::to_string(flushed.count()) + " s");
  hooks.report.addLine("    Done.");
  return true;
}
