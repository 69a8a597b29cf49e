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

#include <optional>

namespace {

constexpr const char* versionFileName = "latest_version.txt";

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

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

// The signature goes beside the package, where "minisign -V" looks for it, and after the
// version line, where the launcher reads it without asking the server for more.
std::string signPackage(const SigningKey& key, const fs::path& serverDir, const std::string& packageFile) {
  const std::string signature = key.sign(serverDir / packageFile, packageFile);
  writeFileDurably(serverDir, packageFile + ".minisig", signature);
  return signature;
}


struct Patches {
  std::string announcements;  // the version file's lines for them, signatures included
  std::string report;
};

// One patch per earlier build, beside the package. A patch that would cost more than half
// the package saves a player too little to be worth the risk of a second path: none.
Patches publishPatches(const PublishRequest& request, const std::vector<PlannedEntry>& entries,
                       const std::vector<OlderBuild>& olders, const std::optional<SigningKey>& key,
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
    if (key) patches.announcements += signPackage(*key, request.serverDir, name);
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
  if (!request.launcherDir.empty()) addCarriedLaunchers(request.launcherDir, request.buildDir, !request.signingKey.empty(), entries);
  // Before anything is written: a wrong password must leave the server folder untouched.
  const std::optional<SigningKey> key =
      request.signingKey.empty() ? std::nullopt : std::optional(SigningKey::load(request.signingKey));
  // Where earlier builds are unpacked and deltas made.
  const ScratchFolder scratch("quarvel-publish");
  // Launchers read 64 KiB after the version line; a patch's announcement and signature take
  // under 500 bytes, so a hundred of them always fit.
  if (request.patchFrom.size() > 100) throw Refusal("at most 100 --patch-from may be given");
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
  const std::string signature = key ? signPackage(*key, request.serverDir, packageFile) : "";
  const Patches patches = publishPatches(request, entries, olders, key, package, scratch.path());
  const std::string after = signature + patches.announcements;
  // Last, so that the server only ever names a package that is complete.
  writeFileDurably(request.serverDir, versionFileName, request.line + (after.empty() ? "" : "\n" + after));

  const std::string what = kept ? "kept " + quoted(package) + " (it already holds this build)"
                                : "wrote " + quoted(package) + " (" + std::to_string(entries.size()) + " entries)";
  return what + (key ? ", signed it" : "") + patches.report + " and announced '" + request.line + "' in " +
         versionFileName;
}
