#include "update/UpdateRun.h"

#include "base/OwnNames.h"
#include "package/Resume.h"
#include "version/InstallRecords.h"

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
  return CheckLatestVersion;
}

std::optional<UpdateStage> checkLatestVersion(UpdateRun& run) {
  Report& report = run.report;
  UpdateState& state = run.state;
  report.addLine("Checking for latest version...");
  report.pause(run.settings.stageDelay);
  const std::string address = run.settings.serverUrl + run.settings.versionFileName;
  downloadFile(run, address.c_str(), latestVersionDownload, nullptr, {});
  const auto record = records::readVersionFile(report, latestVersionDownload);
  // The lines after the first: signatures and the patches on offer. Launchers of an
  // earlier release read only 4 KiB of them, where the package's signature comes first.
  const std::string lines = record ? signing::linesAfterFirst(latestVersionDownload, 64 << 10) : "";
  const bool trusted = record && signedByPublisher(run, *record, lines);
  std::remove(latestVersionDownload);

  if (!record) report.addLine("Error: Failed to contact server. Check internet connection.");
  if (!record && state.unfinishedUpdate) report.addLine("    Connect to the internet to finish the update.");
  if (!trusted) return continueWithInstalledBuild(run);

  state.latestVersion = *record;
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
                        records::recordInstalledBuild(run.settings.versionFileName, state.latestVersion, run.report);
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
