#include "Publish.h"

#include "BuildTree.h"
#include "Files.h"
#include "PackageArchive.h"
#include "Patches.h"
#include "Refusal.h"
#include "Signing.h"
#include "VersionLine.h"
#include "package/PatchManifest.h"
#include "package/Rollout.h"
#include "package/Signature.h"
#include "version/VersionInfo.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>

namespace {

constexpr const char* versionFileName = "latest_version.txt";

// What latest_version.txt announces: the build, the patches to it, and a rollout under way.
struct Announcement {
  std::string line;
  std::vector<PatchAnnouncement> patches;
  std::optional<Rollout> rollout;
  std::string after = {};  // the lines after the first, signatures included
};
// The time each file was first signed at, kept when it is signed again, so that signing an
// announcement again never makes an older build look newer to a launcher.
using SignedTimes = std::map<std::string, std::int64_t>;

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
std::string signFile(const std::vector<SigningKey>& keys, const fs::path& serverDir, const std::string& name,
                     const std::string& moreFields, const SignedTimes& kept) {
  const auto time = kept.find(name);
  std::string signatures;
  for (const SigningKey& key : keys) {
    const std::string signature =
        key.sign(serverDir / name, name, moreFields, time == kept.end() ? std::nullopt : std::optional(time->second));
    if (signatures.empty()) writeFileDurably(serverDir, name + ".minisig", signature);
    signatures += signature;
  }
  return signatures;
}

// The trusted comment's field that ends the answer's life, so that a server cannot hold
// players on this answer for longer by replaying it.
std::string lifeField(std::optional<int> validForDays) {
  if (!validForDays) return "";
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  return "\texpires:" + std::to_string(now.count() + std::int64_t{*validForDays} * 86400);
}

// Signs every file the announcement names, then writes latest_version.txt, last, so that
// the server only ever names files that are complete. The package's signature comes first
// after the version line: launchers of an earlier release look for it in the first 4 KiB.
void writeAnnouncement(const fs::path& serverDir, const Announcement& announcement, const std::vector<SigningKey>& keys,
                       std::optional<int> validForDays, const SignedTimes& kept = {}) {
  const std::string life = lifeField(validForDays);
  const auto& rollout = announcement.rollout;
  const std::string rolloutFields =
      rollout ? "\trollout:" + std::to_string(rollout->percent) + "\tprevious:" + rollout->previousLine : "";
  std::string after = signFile(keys, serverDir, packageFileName(announcement.line), life + rolloutFields, kept);
  for (const PatchAnnouncement& patch : announcement.patches)
    after += formatPatchAnnouncement(patch) + signFile(keys, serverDir, patch.file, life, kept);
  if (rollout)
    after += formatRolloutAnnouncement(*rollout) +
             signFile(keys, serverDir, packageFileName(rollout->previousLine), life, kept);
  writeFileDurably(serverDir, versionFileName, announcement.line + (after.empty() ? "" : "\n" + after));
}

// What the server folder announces now; none when it announces nothing.
std::optional<Announcement> readAnnouncement(const fs::path& serverDir) {
  std::ifstream file(serverDir / versionFileName, std::ios::binary);
  if (!file) return std::nullopt;
  Announcement announcement{readFirstLine(file), {}, {}};
  announcement.after = signing::linesAfterFirst((serverDir / versionFileName).string(), 64 << 10);
  announcement.patches = parsePatchAnnouncements(announcement.after);
  announcement.rollout = parseRolloutAnnouncement(announcement.after);
  return announcement;
}

std::vector<signing::PublicKey> publicHalves(const std::vector<SigningKey>& keys) {
  std::vector<signing::PublicKey> halves;
  for (const SigningKey& key : keys) halves.push_back(key.publicKey());
  return halves;
}

// With signing, a rollout under way is the one signed with the package, never the line beside it.
void takeSignedRollout(Announcement& announcement, const std::vector<SigningKey>& keys) {
  if (keys.empty() || signing::parseSignatures(announcement.after).empty()) return;
  announcement.rollout = signedRollout(signing::findPublisherSignatures(
      announcement.after, packageFileName(announcement.line), publicHalves(keys)));
}

// Before a file of the server folder is signed again: it must be there and, where the
// announcement is signed, be the very file that one of these keys signed, or whoever can
// write the folder could have the studio vouch for a file of theirs. Its signed time is kept.
void checkSignedBefore(const fs::path& serverDir, const std::string& name, const Announcement& announcement,
                       const std::vector<SigningKey>& keys, SignedTimes& kept) {
  if (!fs::is_regular_file(serverDir / name)) throw Refusal(quoted(serverDir / name) + " is missing");
  if (signing::parseSignatures(announcement.after).empty()) return;
  const auto signatures = signing::findPublisherSignatures(announcement.after, name, publicHalves(keys));
  const auto digest = signing::digestOfFile((serverDir / name).string());
  if (signatures.empty() || !digest || !signing::signsDigest(signatures, *digest))
    throw Refusal(quoted(serverDir / name) + " is not the file that the given keys signed; publish that build again instead");
  if (const auto time = signing::signedTime(signatures)) kept[name] = *time;
}

// The build that players outside a rollout of line keep: the one announced now, or the one
// that a rollout under way (of this build, or halted) keeps.
std::string buildBeforeRollout(const fs::path& serverDir, const std::string& line, const std::vector<SigningKey>& keys,
                               SignedTimes& kept) {
  auto current = readAnnouncement(serverDir);
  if (!current)
    throw Refusal("--rollout needs a build published before it in " + quoted(serverDir) + ", for the other players");
  takeSignedRollout(*current, keys);
  const bool keepsEarlier = current->rollout && (current->line == line || current->rollout->percent == 0);
  const std::string previous = keepsEarlier ? current->rollout->previousLine : current->line;
  if (previous == line) throw Refusal("'" + line + "' is already out to every player");
  if (!keys.empty()) checkSignedBefore(serverDir, packageFileName(previous), *current, keys, kept);
  else if (!fs::exists(serverDir / packageFileName(previous)))
    throw Refusal(quoted(serverDir / packageFileName(previous)) + " is missing");
  return previous;
}

struct Patches {
  std::vector<PatchAnnouncement> written;
  std::string report;
};

// One patch per earlier build, beside the package. A patch that would cost more than half
// the package saves a player too little to be worth the risk of a second path: none.
Patches publishPatches(const PublishRequest& request, const std::vector<PlannedEntry>& entries,
                       const std::vector<OlderBuild>& olders, const fs::path& package, const fs::path& scratch) {
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
    patches.written.push_back({older.line, name});
    patches.report += "; wrote " + quoted(request.serverDir / name) + " (" + std::to_string(touched) + " files, " +
                      std::to_string(size) + " bytes)";
  }
  return patches;
}

std::vector<SigningKey> loadKeys(const std::vector<fs::path>& files) {
  if (files.size() > 8) throw Refusal("at most 8 --sign may be given");
  std::vector<SigningKey> keys;
  for (const fs::path& file : files) keys.push_back(SigningKey::load(file));
  return keys;
}

std::string rolloutReport(const std::optional<Rollout>& rollout) {
  if (!rollout) return "";
  if (rollout->percent == 0) return "; the rollout is halted: nobody else gets it, the others keep '" + rollout->previousLine + "'";
  return "; rolled out to " + std::to_string(rollout->percent) + " % of players, the others keep '" +
         rollout->previousLine + "'";
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
  // Before anything is written: a wrong password must leave the server folder untouched.
  const std::vector<SigningKey> keys = loadKeys(request.signingKeys);
  std::optional<Rollout> rollout;
  SignedTimes signedTimes;  // the build before a rollout keeps the time it was signed at
  if (request.rolloutPercent && *request.rolloutPercent < 100)
    rollout = Rollout{*request.rolloutPercent, buildBeforeRollout(request.serverDir, request.line, keys, signedTimes)};
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
  const Patches patches = publishPatches(request, entries, olders, package, scratch.path());
  writeAnnouncement(request.serverDir, {request.line, patches.written, rollout}, keys, request.validForDays, signedTimes);

  const std::string what = kept ? "kept " + quoted(package) + " (it already holds this build)"
                                : "wrote " + quoted(package) + " (" + std::to_string(entries.size()) + " entries)";
  const std::string signedWith =
      keys.size() > 1 ? ", signed it with " + std::to_string(keys.size()) + " keys" : keys.empty() ? "" : ", signed it";
  return what + signedWith + patches.report + " and announced '" + request.line + "' in " + versionFileName +
         rolloutReport(rollout);
}

std::string reannounce(const fs::path& serverDir, bool halt, const std::vector<fs::path>& signingKeys,
                       std::optional<int> validForDays) {
  requireWritableFolder(serverDir);
  auto announcement = readAnnouncement(serverDir);
  if (!announcement) throw Refusal(quoted(serverDir / versionFileName) + " does not exist: nothing is published there");
  const bool signedBefore = !signing::parseSignatures(announcement->after).empty();
  if (signedBefore && signingKeys.empty())
    throw Refusal("the builds in " + quoted(serverDir) + " are signed: give the studio's key with --sign");
  const std::vector<SigningKey> keys = loadKeys(signingKeys);
  takeSignedRollout(*announcement, keys);
  if (halt && !announcement->rollout) throw Refusal("'" + announcement->line + "' is out to every player: there is no rollout to halt");
  if (!validForDays && announcement->after.find("\texpires:") != std::string::npos)
    throw Refusal("the announcement has a life: give --valid-for, or the new one would never run out");
  SignedTimes kept;
  checkSignedBefore(serverDir, packageFileName(announcement->line), *announcement, keys, kept);
  for (const PatchAnnouncement& patch : announcement->patches) checkSignedBefore(serverDir, patch.file, *announcement, keys, kept);
  if (announcement->rollout)
    checkSignedBefore(serverDir, packageFileName(announcement->rollout->previousLine), *announcement, keys, kept);
  if (halt) announcement->rollout->percent = 0;
  writeAnnouncement(serverDir, *announcement, keys, validForDays, kept);
  return std::string(halt ? "halted" : "renewed") + " the announcement of '" + announcement->line + "' in " +
         versionFileName + (keys.empty() ? "" : ", signed") + rolloutReport(announcement->rollout) +
         (validForDays ? "; it is valid for " + std::to_string(*validForDays) + " days" : "");
}
