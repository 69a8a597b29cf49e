#include "update/UpdateRun.h"

#include "base/OwnNames.h"
#include "package/Resume.h"
#include "package/Rollout.h"
#include "version/InstallRecords.h"

#include <chrono>
#include <cstdio>

namespace update {

namespace {

// Without a usable answer the installed build, if any, is what the player gets.
std::optional<UpdateStage> continueWithInstalledBuild(UpdateRun& run) {
  const UpdateState& state = run.state;
  if (state.installedVersion.version.empty()) return std::nullopt;
  run.report.addLine("Continuing to use installed version (" + state.installedVersion.version + ").");
  return ReportReady;
}

// A version file the studio did not sign is treated like no answer at all: whoever
// wrote it could name any package.
bool signedByPublisher(UpdateRun& run, const VersionInfo& latest, const std::string& lines) {
  const UpdateSettings& settings = run.settings;
  if (!settings.signaturesRequired) return true;
  run.state.latestSignatures = signing::findPublisherSignatures(lines, latest.packageFile, settings.publisherKeys);
  if (!run.state.latestSignatures.empty()) return true;
  run.report.addLine("    The update is not signed by the publisher.");
  run.report.detail("refused: " + signing::refusalReason(lines, latest.packageFile, settings.publisherKeys));
  return false;
}

// A patch is taken only over a build that is installed whole, and, with signing on, only
// when the studio signed it like a package; otherwise the package, as ever.
void choosePatch(UpdateRun& run, const std::string& lines) {
  const UpdateSettings& settings = run.settings;
  UpdateState& state = run.state;
  if (state.installedVersion.version.empty() || state.unfinishedUpdate) return;
  for (const PatchAnnouncement& patch : parsePatchAnnouncements(lines)) {
    const auto base = parseVersionLine(patch.baseLine);
    if (!base || base->version != state.installedVersion.version) continue;
    // The patch lands in the launcher's folder under the name announced, so only the one
    // name a patch over this base to this build has is taken: any other could name a file
    // the launcher keeps for itself.
    const std::string expected = patchFileName(patch.baseLine, storedLine(state.latestVersion));
    if (patch.file != expected) {
      run.report.detail("the patch announced as '" + patch.file + "' is ignored: a patch from '" + patch.baseLine +
                "' is named '" + expected + "'");
      continue;
    }
    if (settings.signaturesRequired) {
      state.patchSignatures = signing::findPublisherSignatures(lines, patch.file, settings.publisherKeys);
      if (state.patchSignatures.empty()) {
        run.report.detail("the patch '" + patch.file + "' is not signed by the publisher; the whole build is downloaded");
        return;
      }
    }
    state.chosenPatch = patch;
    return;
  }
}

// Each address of the list in turn, until one answers; that one serves the rest of the run.
// The last is read whatever it sent, so that a single server is judged by its file alone.
void fetchVersionFile(UpdateRun& run) {
  const std::vector<std::string> hosts = serverAddresses(run.settings.serverUrl);
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    run.state.serverUrl = hosts[i];
    const std::string address = hosts[i] + run.settings.versionFileName;
    const DownloadOutcome outcome = downloadFile(run, address.c_str(), latestVersionDownload, nullptr, {});
    if (outcome.answered || i + 1 == hosts.size() || run.stop.requested()) return;
    run.report.detail("the server " + hosts[i] + " did not answer (" + outcome.failure + "); asking " + hosts[i + 1]);
  }
}

// An answer past the life its publisher gave it may be a replay that holds players on an old
// build (a stale mirror, an attacker): it counts as no answer. One signed without a life never ends.
bool stillValid(UpdateRun& run) {
  const auto& signatures = run.state.latestSignatures;
  const signing::TrustedSignature* newest = signing::newestOf(signatures);
  if (!run.settings.signaturesRequired || !newest) return true;
  const auto expires = signing::commentTime(newest->trustedComment, "expires");
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  if (!expires || *expires > now.count()) return true;
  run.report.detail("refused: the server's answer expired at " + signing::utcText(*expires) + " (signed " +
                    signing::utcText(signing::signedTime(signatures).value_or(0)) +
                    "); the studio renews it with quarvel-publish --renew before it runs out");
  return false;
}

// The build a rollout gives this launcher: the latest where the folder's place falls within
// the share, or where the latest is already installed (a halt takes it from nobody); the
// build before it otherwise. With signing on, only the rollout the publisher signed counts,
// and the build before must be signed too.
std::optional<VersionInfo> buildToTake(UpdateRun& run, const VersionInfo& latest, const std::string& lines) {
  const UpdateSettings& settings = run.settings;
  const auto rollout = settings.signaturesRequired ? signedRollout(run.state.latestSignatures) : parseRolloutAnnouncement(lines);
  if (!rollout || latest.version == run.state.installedVersion.version) return latest;
  std::string problem;
  const int place = rolloutPlace(folderRolloutNumber(problem), storedLine(latest));
  if (!problem.empty()) run.report.detail(problem);
  const auto previous = parseVersionLine(rollout->previousLine);
  run.report.detail("rollout: " + latest.version + " goes to " + std::to_string(rollout->percent) +
                    " % of players; this launcher's place is " + std::to_string(place) +
                    (place < rollout->percent || !previous ? ", so it takes it" : ", so it takes " + previous->version));
  if (place < rollout->percent || !previous) return latest;
  if (settings.signaturesRequired && !signedByPublisher(run, *previous, lines)) return std::nullopt;
  return *previous;
}

// A build signed before the installed one is an old answer replayed, or a mistake: never
// installed over it. A studio that wants players back on it publishes it again.
bool newerThanInstalled(UpdateRun& run, const VersionInfo& offered) {
  const UpdateState& state = run.state;
  const auto offeredAt = signing::signedTime(state.latestSignatures);
  if (!state.installedSignedAt || !offeredAt || *offeredAt >= *state.installedSignedAt ||
      offered.version == state.installedVersion.version)
    return true;
  run.report.addLine("    The server offers an older build (" + offered.version + "); it is not installed.");
  run.report.detail("refused: " + offered.packageFile + " was signed at " + signing::utcText(*offeredAt) +
                    ", before the installed build (" + signing::utcText(*state.installedSignedAt) + ")");
  return false;
}

}  // namespace

std::optional<UpdateStage> checkInstalledVersion(UpdateRun& run) {
  Report& report = run.report;
  UpdateState& state = run.state;
  report.addLine("Checking for installed version...");
  report.pause(run.settings.stageDelay);
  const auto record = records::readVersionFile(report, run.settings.versionFileName);
  if (!record) {
    report.addLine("    No existing installation found.");
  } else {
    report.addLine("    Installed version is " + record->version + " (built " + record->buildDate + ").");
    // Files of another build, or of this one again, were being written over it when the
    // update stopped: whichever build the record names, the files there are incomplete.
    state.unfinishedUpdate = records::updateUnderWay();
    if (state.unfinishedUpdate)
      report.addLine("    The last update did not finish; the installed files are incomplete.");
    else
      state.installedVersion = *record;
  }
  // Kept even for files an update left incomplete: an older build is no way to finish it.
  if (run.settings.signaturesRequired) state.installedSignedAt = records::readSignedTime(run.settings.versionFileName);
  return CheckLatestVersion;
}

std::optional<UpdateStage> checkLatestVersion(UpdateRun& run) {
  Report& report = run.report;
  UpdateState& state = run.state;
  report.addLine("Checking for latest version...");
  report.pause(run.settings.stageDelay);
  fetchVersionFile(run);
  const auto record = records::readVersionFile(report, latestVersionDownload);
  // The lines after the first: signatures, the patches on offer and a rollout. Launchers of
  // an earlier release read only 4 KiB of them, where the package's signature comes first.
  const std::string lines = record ? signing::linesAfterFirst(latestVersionDownload, 64 << 10) : "";
  const bool trusted = record && signedByPublisher(run, *record, lines);
  std::remove(latestVersionDownload);

  const bool fresh = trusted && stillValid(run);
  if (!record || (trusted && !fresh)) report.addLine("Error: Failed to contact server. Check internet connection.");
  if (!record && state.unfinishedUpdate) report.addLine("    Connect to the internet to finish the update.");
  if (!fresh) return continueWithInstalledBuild(run);
  const auto taken = buildToTake(run, *record, lines);
  if (!taken || !newerThanInstalled(run, *taken)) return continueWithInstalledBuild(run);

  state.latestVersion = *taken;
  state.latestSignedAt = signing::signedTime(state.latestSignatures);
  report.addLine("    Latest version is " + state.latestVersion.version + " (built " + state.latestVersion.buildDate + ").");
  if (state.latestVersion.version == state.installedVersion.version) {
    report.addLine("Already at latest version.");
    return ReportReady;
  }
  report.addLine("An update is required.");
  choosePatch(run, lines);
  return DownloadPackage;
}

bool reportReady(UpdateRun& run) {
  const UpdateState& state = run.state;
  // A failure goes unreported: the next run offers the update again, since the record of
  // the update under way stays.
  const bool recorded = state.latestVersion.version.empty() ||
                        state.latestVersion.version == state.installedVersion.version ||
                        records::recordInstalledBuild(run.settings.versionFileName, state.latestVersion,
                                                       state.latestSignedAt, run.report);
  // Once this build is recorded, the downloads of earlier ones are of no more use: a 1 GiB
  // game would otherwise leave a package behind at every update.
  if (recorded && !state.latestVersion.version.empty())
    for (const std::string& name : removeEarlierDownloads(storedLine(state.latestVersion)))
      run.report.detail("removed " + name + ", a download of an earlier build");
  if (!state.latestVersion.version.empty())
    run.report.addLine("Quarvel is up to date!");
  else
    run.report.addLine("Quarvel version " + state.installedVersion.version + " is ready to play!");
  return recorded;
}

}  // namespace update
