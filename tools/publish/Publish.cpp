#include "Publish.h"

#include "BuildTree.h"
#include "Files.h"
#include "PackageArchive.h"
#include "Patches.h"
#include "Refusal.h"
#include "Signing.h"
#include "VersionLine.h"
#include "package/PatchManifest.h"
#include "version/VersionInfo.h"

#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

constexpr const char* versionFileName = "latest_version.txt";

void requireUsableLine(const std::string& line) {
  const LineVerdict verdict = judgeVersionLine(line);
  if (verdict.fault != LineFault::None) throw Refusal(verdict.reason);
}

void requireWritableFolder(const fs::path& serverDir) {
  if (!fs::is_directory(serverDir))
    throw Refusal("the server folder " + quoted(serverDir) + " does not exist or is not a folder");
  if (::access(serverDir.c_str(), W_OK | X_OK) != 0)
    throw Refusal("the server folder " + quoted(serverDir) + " is not writable");
}

// Walking a build that holds the server folder would pack earlier packages, and the
// one being written, into the new one.
void requireSeparateFolders(const fs::path& buildDir, const fs::path& serverDir) {
  const fs::path build = fs::canonical(buildDir);
  for (fs::path dir = fs::canonical(serverDir); dir != dir.root_path(); dir = dir.parent_path())
    if (dir == build) throw Refusal("the server folder " + quoted(serverDir) + " lies inside the build folder");
}

// A package that already holds this very build is kept as it is. One with other
// contents may already be installed by players under the same line, so replacing
// it takes --force.
bool keepExistingPackage(const fs::path& package, const std::vector<PlannedEntry>& entries, bool force) {
  if (!fs::exists(fs::symlink_status(package))) return false;
  if (holdsSameEntries(package, entries)) return true;
  if (!force) throw Refusal(quoted(package) + " already exists with other contents; use --force to replace it");
  return false;
}

// Written under a temporary name and renamed, so the package's name never shows a
// half-written file.
void installPackage(const fs::path& package, const std::vector<PlannedEntry>& entries) {
  TemporaryFile temporary(temporaryNameIn(package.parent_path(), ".zip"));
  writePackage(temporary.path(), entries);
  finishFile(temporary.path());
  renameDurably(temporary.path(), package);
  temporary.keep();
}

// Every key's signature goes after the version line, where the launcher reads it without
// asking the server for more; the first key's also beside the file, where "minisign -V"
// looks for it.
std::string signFile(const std::vector<SigningKey>& keys, const fs::path& serverDir, const std::string& name) {
  std::string signatures;
  for (const SigningKey& key : keys) {
    const std::string signature = key.sign(serverDir / name, name);
    if (signatures.empty()) writeFileDurably(serverDir, name + ".minisig", signature);
    signatures += signature;
  }
  return signatures;
}

struct Patches {
  std::string announcements;  // the version file's lines for them, signatures included
  std::string report;
};

// One patch per earlier build, beside the package. A patch that would cost more than half
// the package saves a player too little to be worth the risk of a second path: none.
Patches publishPatches(const PublishRequest& request, const std::vector<PlannedEntry>& entries,
                       const std::vector<OlderBuild>& olders, const std::vector<SigningKey>& keys,
                       const fs::path& package, const fs::path& scratch) {
  Patches patches;
  const std::uint64_t packageSize = fs::file_size(package);
  for (const OlderBuild& older : olders) {
    const std::string name = patchFileName(older.line, request.line);
    TemporaryFile temporary(temporaryNameIn(request.serverDir, ".zip"));
    const std::size_t touched = writePatch(older, entries, request.line, packageSize, temporary.path(), scratch);
    const std::uint64_t size = fs::file_size(temporary.path());
    if (size > packageSize / 2) {
      patches.report += "; no patch from '" + older.line + "': it would take " + std::to_string(size) +
                        " bytes, more than half the package's " + std::to_string(packageSize);
      continue;
    }
    finishFile(temporary.path());
    renameDurably(temporary.path(), request.serverDir / name);
    temporary.keep();
    patches.announcements += formatPatchAnnouncement({older.line, name});
    patches.announcements += signFile(keys, request.serverDir, name);
    patches.report += "; wrote " + quoted(request.serverDir / name) + " (" + std::to_string(touched) + " files, " +
                      std::to_string(size) + " bytes)";
  }
  return patches;
}

}  // namespace

std::string publish(const PublishRequest& request) {
  requireUsableLine(request.line);
  requireGameProgram(request.buildDir);
  requireWritableFolder(request.serverDir);
  requireSeparateFolders(request.buildDir, request.serverDir);
  std::vector<PlannedEntry> entries = planPackage(request.buildDir);
  if (!request.launcherDir.empty())
    addCarriedLaunchers(request.launcherDir, request.buildDir, !request.signingKeys.empty(), entries);
  // Launchers read 64 KiB after the version line; a patch's announcement and one signature
  // take under 500 bytes, so a hundred signed patches always fit.
  if (request.patchFrom.size() * std::max<std::size_t>(request.signingKeys.size(), 1) > 100)
    throw Refusal("at most 100 --patch-from may be given, and with several --sign at most 100 divided by their number");
  if (request.signingKeys.size() > 8) throw Refusal("at most 8 --sign may be given");
  // Before anything is written: a wrong password must leave the server folder untouched.
  std::vector<SigningKey> keys;
  for (const fs::path& file : request.signingKeys) keys.push_back(SigningKey::load(file));
  // Where earlier builds are unpacked and deltas made.
  const ScratchFolder scratch("quarvel-publish");
  std::vector<OlderBuild> olders;
  for (const std::string& argument : request.patchFrom) {
    olders.push_back(resolveOlderBuild(argument, scratch.path()));
    if (olders.back().line == request.line) throw Refusal("--patch-from '" + argument + "' is this very build");
  }

  const std::string packageFile = parseVersionLine(request.line)->packageFile;
  const fs::path package = request.serverDir / packageFile;
  const bool kept = keepExistingPackage(package, entries, request.force);
  if (!kept) installPackage(package, entries);
  // The package's signature comes first after the version line: launchers of an earlier
  // release look for it in the first 4 KiB.
  const std::string signature = signFile(keys, request.serverDir, packageFile);
  const Patches patches = publishPatches(request, entries, olders, keys, package, scratch.path());
  const std::string after = signature + patches.announcements;
  // Last, so that the server only ever names a package that is complete.
  writeFileDurably(request.serverDir, versionFileName, request.line + (after.empty() ? "" : "\n" + after));

  const std::string what = kept ? "kept " + quoted(package) + " (it already holds this build)"
                                : "wrote " + quoted(package) + " (" + std::to_string(entries.size()) + " entries)";
  const std::string signedWith =
      keys.size() > 1 ? ", signed it with " + std::to_string(keys.size()) + " keys" : keys.empty() ? "" : ", signed it";
  return what + signedWith + patches.report + " and announced '" + request.line + "' in " +
         versionFileName;
}
