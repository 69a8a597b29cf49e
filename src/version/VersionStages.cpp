#include "app/Launcher.h"
#include "platform/Platform.h"

#include <cstdio>
#include <fstream>

std::unique_ptr<VersionInfo> Launcher::readVersionFile(const char* path) {
  // Binary, so that only the one carriage return rule applies on every platform. A
  // folder opens as a stream on some systems; it is no file that could be read.
  std::ifstream file;
  if (!platform::isDirectory(path)) file.open(path, std::ios::binary);
  if (!file.is_open()) {
    addLogLine(std::string("    Could not find file ") + path);
    return nullptr;
  }
  const std::string line = readFirstLine(file);
  file.close();
  auto record = parseVersionLine(line);
  if (!record) addLogLine(std::string("    Could not read file ") + path + ". It may be corrupted");
  return record;
}

void Launcher::checkInstalledVersion() {
  addLogLine("Checking for installed version...");
  sleepFor(stageDelay);
  const auto record = readVersionFile(versionFileName);
  if (!record) {
    addLogLine("    No existing installation found.");
  } else {
    addLogLine("    Installed version is " + record->version + " (built " + record->buildDate + ").");
    // Files of another build, or of this one again, were being written over it when the
    // update stopped: whichever build the record names, the files there are incomplete.
    unfinishedUpdate = std::ifstream(updateRecordName).is_open();
    if (unfinishedUpdate)
      addLogLine("    The last update did not finish; the installed files are incomplete.");
    else
      installedVersion = *record;
  }
  stage.store(CheckLatestVersion, std::memory_order_release);
}

void Launcher::checkLatestVersion() {
  addLogLine("Checking for latest version...");
  sleepFor(stageDelay);
  const std::string address = serverUrl + versionFileName;
  downloadFile(address.c_str(), latestVersionDownload);
  const auto record = readVersionFile(latestVersionDownload);
  // The lines after the first: signatures and the patches on offer. Launchers of an
  // earlier release read only 4 KiB of them, where the package's signature comes first.
  const std::string lines = record ? signing::linesAfterFirst(latestVersionDownload, 64 << 10) : "";
  const bool trusted = record && signedByPublisher(*record, lines);
  std::remove(latestVersionDownload);

  if (!record) addLogLine("Error: Failed to contact server. Check internet connection.");
  if (!record && unfinishedUpdate) addLogLine("    Connect to the internet to finish the update.");
  if (!trusted) return continueWithInstalledBuild();

  latestVersion = *record;
  addLogLine("    Latest version is " + latestVersion.version + " (built " + latestVersion.buildDate + ").");
  if (latestVersion.version == installedVersion.version) {
    addLogLine("Already at latest version.");
    stage.store(ReportReady, std::memory_order_release);
  } else {
    addLogLine("An update is required.");
    choosePatch(lines);
    stage.store(DownloadPackage, std::memory_order_release);
  }
}

// Without a usable answer the installed build, if any, is what the player gets.
void Launcher::continueWithInstalledBuild() {
  if (installedVersion.version.empty()) return;
  addLogLine("Continuing to use installed version (" + installedVersion.version + ").");
  stage.store(ReportReady, std::memory_order_release);
}

// A version file the studio did not sign is treated like no answer at all: whoever
// wrote it could name any package.
bool Launcher::signedByPublisher(const VersionInfo& latest, const std::string& lines) {
  if (!signaturesRequired) return true;
  latestSignatures = signing::findPublisherSignatures(lines, latest.packageFile, publisherKeys);
  if (!latestSignatures.empty()) return true;
  addLogLine("    The update is not signed by the publisher.");
  logDetail("refused: " + signing::refusalReason(lines, latest.packageFile, publisherKeys));
  return false;
}

// A patch is taken only over a build that is installed whole, and, with signing on, only
// when the studio signed it like a package; otherwise the package, as ever.
void Launcher::choosePatch(const std::string& lines) {
  if (installedVersion.version.empty() || unfinishedUpdate) return;
  for (const PatchAnnouncement& patch : parsePatchAnnouncements(lines)) {
    const auto base = parseVersionLine(patch.baseLine);
    if (!base || base->version != installedVersion.version) continue;
    // The patch lands in the launcher's folder under the name announced, so only the one
    // name a patch over this base to this build has is taken: any other could name a file
    // the launcher keeps for itself.
    const std::string expected = patchFileName(patch.baseLine, storedLine(latestVersion));
    if (patch.file != expected) {
      logDetail("the patch announced as '" + patch.file + "' is ignored: a patch from '" + patch.baseLine +
                "' is named '" + expected + "'");
      continue;
    }
    if (signaturesRequired) {
      patchSignatures = signing::findPublisherSignatures(lines, patch.file, publisherKeys);
      if (patchSignatures.empty()) {
        logDetail("the patch '" + patch.file + "' is not signed by the publisher; the whole build is downloaded");
        return;
      }
    }
    chosenPatch = patch;
    return;
  }
}

void Launcher::reportReady() {
  readyToLaunch = true;
  bool recorded = true;
  if (!latestVersion.version.empty() && latestVersion.version != installedVersion.version) {
    // Written through a temporary file and a rename, so that a crash leaves the old
    // line or the new one. A failure goes unreported: the next run offers the update again,
    // since the record of the update under way stays. Once the new line is on the disk,
    // the record has served; should its removal not reach the disk, the next start
    // installs this build once more.
    recorded = platform::replaceFileAtomically(versionFileName, restoreSpaces(latestVersion.version));
    if (!recorded)
      logDetail(std::string("cannot write ") + versionFileName + ": " + platform::lastErrorText());
    else if (!platform::removeFileDurably(updateRecordName))
      logDetail(std::string("cannot remove ") + updateRecordName + ": " + platform::lastErrorText());
  }
  if (!latestVersion.version.empty())
    addLogLine("Quarvel is up to date!");
  else
    addLogLine("Quarvel version " + installedVersion.version + " is ready to play!");
  // The launcher a build carries is taken only from a build recorded as whole.
  if (recorded) updateLauncherFrom(installDir, selfUpdateContext());
}
