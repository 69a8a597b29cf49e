#include "app/Launcher.h"
#include "package/Package.h"
#include "package/Patch.h"
#include "platform/Platform.h"

#include <filesystem>
#include <sstream>

std::string downloadedSizeLine(std::uint32_t bytes) {
  std::ostringstream line;
  line << "    Downloaded " << static_cast<float>(bytes / 1048576u) << " MiB.";
  return line.str();
}

void Launcher::downloadPackage() {
  const std::string packageFile = chosenPatch ? chosenPatch->file : latestVersion.packageFile;
  addLogLine("Downloading package \"" + packageFile + "\"...");
  sleepFor(stageDelay);
  // The name comes from the server; one with a folder in it could point the download
  // anywhere, and one that Windows reads otherwise, or that the launcher keeps for itself,
  // could replace something other than a package. It is not fetched, and the extraction
  // finds no package.
  if (const std::string problem = downloadNameProblem(packageFile); !problem.empty()) {
    addLogLine(packageFile.find_first_of("/\\") != std::string::npos
                   ? "    The package name holds a folder separator; it is not downloaded."
                   : "    The package name is not one the launcher may write; it is not downloaded.");
    logDetail("not downloaded: '" + packageFile + "': " + problem);
    stage.store(ExtractPackage, std::memory_order_release);
    return;
  }
  const std::string url = encodeSpaces(serverUrl + packageFile);
  packageStream.reset(platform::openForDownload(packageFile));
  if (!packageStream) {
    addLogLine("Failed to download file (could not write " + packageFile + ").");
    logDetail("cannot create " + packageFile + ": " + platform::lastErrorText());
  }
  // Hashed only when it will be checked: the hash costs about a second per GiB.
  signing::FileHasher hasher;
  // A file that did not take every byte holds something other than what was hashed: it is
  // not unpacked.
  if (packageStream && !downloadFile(url.c_str(), packageFile.c_str(), packageStream.get(),
                                     signaturesRequired ? &hasher : nullptr))
    packageStream.reset();
  if (signaturesRequired) packageDigest = hasher.finish();

  const auto size = platform::fileSizeLow32(packageFile);
  // With no file to measure there is no size to report; the extraction that follows
  // says what went wrong.
  // A patch is often below a MiB, which the package's line would show as 0.
  if (size && chosenPatch && *size < 1048576u)
    addLogLine("    Downloaded " + std::to_string((*size + 1023) / 1024) + " KiB.");
  else if (size)
    addLogLine(downloadedSizeLine(*size));
  else
    addLogLine("    No package was downloaded.");
  stage.store(ExtractPackage, std::memory_order_release);
}

std::string downloadNameProblem(const std::string& name) {
  if (isLauncherOwnName(name)) return "the launcher keeps a file of that name for itself";
  return plainNameProblem(name);
}

bool Launcher::extractPackage() {
  addLogLine("Extracting package...");
  sleepFor(stageDelay);
  FilePtr package = std::move(packageStream);
  if (!packageMatchesSignature()) {
    if (!chosenPatch) return false;
    // Nothing was written: the package, signed in its own right, can still be installed.
    addLogLine("    The patch cannot be used; getting the whole build instead.");
    chosenPatch.reset();
    stage.store(DownloadPackage, std::memory_order_release);
    return false;
  }
  const ExtractionHooks hooks = extractionHooks();
  if (chosenPatch) return applyChosenPatch(std::move(package), hooks);
  if (!extractArchive(std::move(package), latestVersion.packageFile, installDir, hooks)) return false;
  stage.store(ReportReady, std::memory_order_release);
  return true;
}

ExtractionHooks Launcher::extractionHooks() {
  return {*this, [this] { return recordUpdateUnderWay(); }};
}

// An installed file that is not the base build's own (edited, damaged) sends the launcher
// back to stage 3 for the whole package: the one path with a third request.
bool Launcher::applyChosenPatch(FilePtr patch, const ExtractionHooks& hooks) {
  std::error_code error;
  const auto patchBytes = std::filesystem::file_size(chosenPatch->file, error);
  const PatchTarget target{installedVersion.version, latestVersion.version, error ? 0 : patchBytes};
  switch (applyPatch(std::move(patch), chosenPatch->file, target, installDir, hooks)) {
    case PatchOutcome::Applied: stage.store(ReportReady, std::memory_order_release); return true;
    case PatchOutcome::UseFullPackage:
      chosenPatch.reset();
      stage.store(DownloadPackage, std::memory_order_release);
      return false;
    case PatchOutcome::Failed: return false;
  }
  return false;
}

// From the first write into the install directory until the new build is recorded, the
// files there are neither the old build nor the new one; this record says so durably, so
// that no later start offers them as ready to play.
std::optional<std::string> Launcher::recordUpdateUnderWay() {
  if (platform::replaceFileAtomically(updateRecordName, restoreSpaces(latestVersion.version))) return std::nullopt;
  logDetail(std::string("cannot write ") + updateRecordName + ": " + platform::lastErrorText());
  // Nothing is written into the install folder after this, so a record that this attempt
  // left (renamed into place, its folder not flushed) is removed: the build there is still
  // whole. One that an earlier unfinished update left stays, since those files are not.
  // Should the removal fail too, the record is honoured: one full download more, never a
  // half build offered.
  if (!unfinishedUpdate) platform::removeFileDurably(updateRecordName);
  return std::string("    Failed to write file ") + updateRecordName;
}

// Checked before the archive is even opened, so that nothing the studio did not sign is
// parsed, let alone written. The digest is of the bytes as they arrived.
bool Launcher::packageMatchesSignature() {
  if (!signaturesRequired) return true;
  if (packageDigest && signing::signsDigest(chosenPatch ? patchSignatures : latestSignatures, *packageDigest)) return true;
  addLogLine("    The package does not match the publisher's signature.");
  logDetail("refused: the package as it arrived (its BLAKE2b-512) is not the one the publisher signed");
  return false;
}
