#include "Patches.h"

#include "BuildTree.h"
#include "Delta.h"
#include "PackageArchive.h"
#include "Refusal.h"
#include "VersionLine.h"
#include "package/Package.h"
#include "package/PatchManifest.h"
#include "platform/Platform.h"
#include "version/VersionInfo.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

// Changed files from this size up travel as deltas (measured on typescript's releases: with
// 64 KiB here the patch came to 1.23 times zstd's own, with 4 KiB to the figure in
// bench/RESULTS.md); below it the whole file, deflated, costs about the same and needs
// nothing of the installed copy.
constexpr std::uint64_t deltaFrom = 4 << 10;
// zstd's level 19 where the optimal parser pays (code and text, as in typescript's
// releases); on large files with a large window its binary trees lose the long matches
// that long-distance matching finds: on a 64 MiB archive file with 1.1 MiB changed, level
// 19 here gave 1.87 MB in 23 s, level 3 1.16 MB in 0.8 s ("zstd --patch-from -19" 1.29 MB
// in 33 s), and on a 512 MiB one level 19 found no match at all.
constexpr std::uint64_t fastDeltaFrom = 16 << 20;
int deltaLevel(std::uint64_t size) { return size < fastDeltaFrom ? 19 : 3; }

struct TreeFile {
  fs::path source;
  unsigned mode;
};

// The files of a build by their path below its top folder.
std::map<std::string, TreeFile> filesOf(const fs::path& dir) {
  std::map<std::string, TreeFile> files;
  const std::size_t top = std::strlen(packageTopFolder) + 1;
  for (const PlannedEntry& entry : planPackage(dir))
    if (!entry.isFolder()) files[entry.name.substr(top)] = {entry.source, entry.mode & 07777};
  return files;
}

std::optional<platform::MappedFile> mapped(const fs::path& file) {
  return platform::MappedFile::openForReading(file.string());
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  const auto x = mapped(a), y = mapped(b);
  if (!x || !y) throw Refusal("cannot read '" + (x ? b : a).string() + "'");
  return x->size() == y->size() && (x->size() == 0 || std::memcmp(x->data(), y->data(), x->size()) == 0);
}

std::pair<std::uint64_t, signing::Digest> sizeAndHash(const fs::path& file) {
  const auto map = mapped(file);
  if (!map) throw Refusal("cannot read '" + file.string() + "'");
  signing::FileHasher hasher;
  hasher.update(map->data(), map->size());
  return {map->size(), hasher.finish()};
}

void requireLine(const std::string& line, const std::string& argument) {
  if (const LineVerdict verdict = judgeVersionLine(line); verdict.fault != LineFault::None)
    throw Refusal("--patch-from '" + argument + "': " + verdict.reason);
}

}  // namespace

OlderBuild resolveOlderBuild(const std::string& argument, const fs::path& scratch) {
  if (const std::size_t at = argument.rfind('='); at != std::string::npos) {
    OlderBuild older{argument.substr(at + 1), argument.substr(0, at)};
    requireLine(older.line, argument);
    if (!fs::is_directory(older.dir)) throw Refusal("--patch-from: '" + older.dir.string() + "' is not a build folder");
    return older;
  }
  const auto line = lineOfPackageFile(fs::path(argument).filename().string());
  if (!line) throw Refusal("--patch-from '" + argument + "' is neither a package \"quarvel LINE.zip\" nor DIR=LINE");
  OlderBuild older{*line, scratch / ("older-" + std::to_string(std::hash<std::string>()(argument)))};
  requireLine(older.line, argument);
  unpackPackage(argument, older.dir);
  return older;
}

std::size_t writePatch(const OlderBuild& older, const std::vector<PlannedEntry>& newBuild, const std::string& newLine,
                       std::uint64_t packageSize, const fs::path& into, const fs::path& scratch) {
  const std::map<std::string, TreeFile> before = filesOf(older.dir);
  PatchManifest manifest{older.line, newLine, packageSize, {}, {}};
  std::vector<PlannedEntry> entries;
  const std::size_t top = std::strlen(packageTopFolder) + 1;
  for (const PlannedEntry& entry : newBuild) {
    const std::string path = entry.name.substr(top);
    const unsigned mode = entry.mode & 07777;
    if (entry.isFolder()) {
      if (!path.empty()) manifest.folders.push_back({path.substr(0, path.size() - 1), mode});
      continue;
    }
    const auto old = before.find(path);
    if (old != before.end() && old->second.mode == mode && sameBytes(old->second.source, entry.source)) continue;
    PatchedFile file{path, false, mode, std::nullopt, {}, 0, {}};
    std::tie(file.newSize, file.newHash) = sizeAndHash(entry.source);
    if (old != before.end()) {
      const auto [oldSize, oldHash] = sizeAndHash(old->second.source);
      file.oldSize = oldSize, file.oldHash = oldHash;
      file.delta = oldSize > 0 && file.newSize >= deltaFrom;
    }
    if (file.delta) {
      const fs::path delta = scratch / ("delta-" + std::to_string(entries.size()));
      writeDelta(old->second.source, entry.source, delta, deltaLevel(file.newSize));
      entries.push_back({patchDeltasFolder + path, delta, S_IFREG | 0644, true});
    } else {
      entries.push_back({patchFilesFolder + path, entry.source, S_IFREG | mode});
    }
    manifest.files.push_back(std::move(file));
  }
  const fs::path manifestFile = scratch / "manifest.txt";
  std::ofstream out(manifestFile, std::ios::binary);
  out << formatPatchManifest(manifest);
  out.close();
  if (!out) throw Refusal("cannot write the patch's manifest to '" + manifestFile.string() + "'");
  entries.insert(entries.begin(), {patchManifestEntry, manifestFile, S_IFREG | 0644});
  writePackage(into, entries);
  return manifest.files.size();
}
