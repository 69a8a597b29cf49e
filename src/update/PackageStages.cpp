#include "update/UpdateRun.h"

#include "base/OwnNames.h"
#include "package/Download.h"
#include "package/Patch.h"
#include "package/Resume.h"
#include "platform/Platform.h"
#include "version/InstallRecords.h"

#include <filesystem>

namespace update {

namespace {

// An installed file that is not the base build's own (edited, damaged) sends the launcher
// back to stage 3 for the whole package: the one path with a third request.
std::optional<UpdateStage> applyChosenPatch(UpdateRun& run, FilePtr patch, const ExtractionHooks& hooks) {
  UpdateState& state = run.state;
  std::error_code error;
  const auto patchBytes = std::filesystem::file_size(state.chosenPatch->file, error);
  const PatchTarget target{state.installedVersion.version, state.latestVersion.version, error ? 0 : patchBytes};
  switch (applyPatch(std::move(patch), state.chosenPatch->file, target, run.settings.installDir, hooks)) {
    case PatchOutcome::Applied: return ReportReady;
    case PatchOutcome::UseFullPackage: state.chosenPatch.reset(); return DownloadPackage;
    case PatchOutcome::Failed: return std::nullopt;
  }
  return std::nullopt;
}

// From the first write into the install directory until the new build is recorded, the
// files there are neither the old build nor the new one; this record says so durably, so
// that no later start offers them as ready to play.
std::optional<std::string> recordUpdateUnderWay(UpdateRun& run) {
  const UpdateState& state = run.state;
  if (records::recordUpdateUnderWay(state.latestVersion, run.report)) return std::nullopt;
  // Nothing is written into the install folder after this, so a record that this attempt
  // left (renamed into place, its folder not flushed) is removed: the build there is still
  // whole. One that an earlier unfinished update left stays, since those files are not.
  // Should the removal fail too, the record is honoured: one full download more, never a
  // half build offered.
  if (!state.unfinishedUpdate) records::dropUpdateRecord();
  return std::string("    Failed to write file ") + updateRecordName;
}

// Checked before the archive is even opened, so that nothing the studio did not sign is
// parsed, let alone written. The digest is of the bytes as they arrived.
bool packageMatchesSignature(UpdateRun& run) {
  const UpdateState& state = run.state;
  if (!run.settings.signaturesRequired) return true;
  if (state.packageDigest && signing::signsDigest(state.chosenPatch ? state.patchSignatures : state.latestSignatures, *state.packageDigest)) return true;
  run.report.addLine("    The package does not match the publisher's signature.");
  run.report.detail("refused: the package as it arrived (its BLAKE2b-512) is not the one the publisher signed");
  return false;
}

// The name comes from the server; one with a folder in it could point the download
// anywhere, and one that Windows reads otherwise, or that the launcher keeps for itself,
// could replace something other than a package. It is not fetched, and the extraction
// finds no package.
bool mayDownloadUnder(const std::string& packageFile, Report& report) {
  const std::string problem = downloadNameProblem(packageFile);
  if (problem.empty()) return true;
  report.addLine(packageFile.find_first_of("/\\") != std::string::npos
                 ? "    The package name holds a folder separator; it is not downloaded."
                 : "    The package name is not one the launcher may write; it is not downloaded.");
  report.detail("not downloaded: '" + packageFile + "': " + problem);
  return false;
}

// With no file to measure there is no size to report; the extraction that follows says what
// went wrong. A patch is often below a MiB, which the package's line would show as 0.
std::string downloadedLine(std::optional<std::uint32_t> size, bool patch) {
  if (!size) return "    No package was downloaded.";
  if (patch && *size < 1048576u) return "    Downloaded " + std::to_string((*size + 1023) / 1024) + " KiB.";
  return downloadedSizeLine(*size);
}

ExtractionHooks extractionHooks(UpdateRun& run) {
  return {run.report, [&run] { return recordUpdateUnderWay(run); }};
}

}  // namespace

std::optional<UpdateStage> downloadPackage(UpdateRun& run) {
  const UpdateSettings& settings = run.settings;
  UpdateState& state = run.state;
  Report& report = run.report;
  const std::string packageFile = state.chosenPatch ? state.chosenPatch->file : state.latestVersion.packageFile;
  report.addLine("Downloading package \"" + packageFile + "\"...");
  report.pause(settings.stageDelay);
  if (!mayDownloadUnder(packageFile, report)) return ExtractPackage;
  const std::string url = encodeSpaces(state.serverUrl + packageFile);
  // The bytes arrive under a name of their own, which a later start continues should this
  // one end first; the file gets the package's name once it is whole.
  const std::string part = partialName(packageFile);
  state.packageStream.reset(platform::openForDownload(part));
  if (!state.packageStream) {
    report.addLine("Failed to download file (could not write " + packageFile + ").");
    report.detail("cannot create " + part + ": " + platform::lastErrorText());
  }
  // Hashed only when it will be checked: the hash costs about a second per GiB.
  signing::FileHasher hasher;
  // A file that did not take every byte holds something other than what was hashed: it is
  // not unpacked.
  DownloadOutcome outcome;
  if (state.packageStream)
    outcome = downloadFile(run, url.c_str(), packageFile.c_str(), state.packageStream.get(),
                           {settings.signaturesRequired ? &hasher : nullptr, nullptr, &report});
  if (!outcome.whole) state.packageStream.reset();
  if (settings.signaturesRequired) state.packageDigest = hasher.finish();
  // The size line takes the running progress line's place, so the finished log reads as before.
  const auto say = [&report, &outcome](const std::string& line) {
    outcome.progressShown ? report.replaceLine(line) : report.addLine(line);
    outcome.progressShown = false;
  };
  if (outcome.whole && !completeDownload(packageFile)) {
    report.detail("cannot rename " + part + " to " + packageFile + ": " + platform::lastErrorText());
    say("Failed to download file (could not write " + packageFile + ").");
    state.packageStream.reset();
  }
  say(downloadedLine(platform::fileSizeLow32(outcome.whole ? packageFile : part), state.chosenPatch.has_value()));
  return ExtractPackage;
}

std::optional<UpdateStage> extractPackage(UpdateRun& run) {
  const UpdateSettings& settings = run.settings;
  UpdateState& state = run.state;
  Report& report = run.report;
  report.addLine("Extracting package...");
  report.pause(settings.stageDelay);
  FilePtr package = std::move(state.packageStream);
  if (!packageMatchesSignature(run)) {
    if (!state.chosenPatch) return std::nullopt;
    // Nothing was written: the package, signed in its own right, can still be installed.
    report.addLine("    The patch cannot be used; getting the whole build instead.");
    state.chosenPatch.reset();
    return DownloadPackage;
  }
  const ExtractionHooks hooks = extractionHooks(run);
  if (state.chosenPatch) return applyChosenPatch(run, std::move(package), hooks);
  if (!extractArchive(std::move(package), state.latestVersion.packageFile, settings.installDir, hooks))
    return std::nullopt;
  return ReportReady;
}

DownloadOutcome downloadFile(UpdateRun& run, const char* url, const char* path, std::FILE* into, TransferHooks hooks) {
  Report& report = run.report;
  // Once shutdown has begun no new transfer starts.
  if (run.stop.requested()) return {};
  hooks.stop = &run.stop;
  // Written before the transfer too: one that stalls until the player quits still names its address.
  report.detail(std::string("GET ") + url + ": started");
  const Transfer transfer =
      into ? fetchContinuing(url, into, path, hooks, report, run.settings.firstRetryWait) : fetchToFile(url, path, hooks);
  report.detail(std::string("GET ") + url + ": " + transfer.summary);
  if (!transfer.writeFailure.empty()) report.detail(std::string("cannot write ") + path + ": " + transfer.writeFailure);
  switch (transfer.result) {
    case FetchResult::Done: break;
    case FetchResult::NoHandle: report.addLine("Failed to download file (failed to initialise CURL)."); break;
    // The caller then finds no file, or the old one, and reports what that means.
    case FetchResult::CannotWrite:
      report.addLine(std::string("Failed to download file (could not write ") + path + ").");
      break;
  }
  const bool answered = transfer.result == FetchResult::Done && transfer.code == 0 && transfer.status < 400;
  return {transfer.result == FetchResult::Done && transfer.writeFailure.empty(), answered,
          answered ? "" : transfer.summary, transfer.progressShown};
}

}  // namespace update
