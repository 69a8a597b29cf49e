#pragma once
// The update pipeline's stage routines. Each takes the run (what the studio built in, what
// the stages before it found, and the report it tells and asks) and returns the stage that
// follows, or nothing when the pipeline stops where it is. None of them knows the window.

#include "base/Duration.h"
#include "base/OwnNames.h"
#include "base/Report.h"
#include "base/StopToken.h"
#include "package/Download.h"
#include "package/Package.h"
#include "package/PatchManifest.h"
#include "package/Signature.h"
#include "platform/FilePtr.h"
#include "version/VersionInfo.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum UpdateStage : std::int32_t {
  None = 0,
  CheckInstalledVersion = 1,
  CheckLatestVersion = 2,
  DownloadPackage = 3,
  ExtractPackage = 4,
  ReportReady = 5,
};

// Fixed for the whole run.
struct UpdateSettings {
  std::string serverUrl;  // one address, or several separated by commas, tried in turn
  // A launcher built with the studio's keys installs only builds signed by one of them.
  std::vector<signing::PublicKey> publisherKeys;
  bool signaturesRequired = false;
  const char* installDir = installDirName;
  const char* versionFileName = localVersionFileName;
  Milliseconds stageDelay{250};
  Milliseconds firstRetryWait{1000};  // after a dropped download; doubled with each drop in a row
};

// What one stage finds and the next one reads; stages never overlap.
struct UpdateState {
  VersionInfo latestVersion{"", "", ""};
  VersionInfo installedVersion{"", "", ""};
  // With signing on, when the publisher signed the installed build (as recorded) and the one
  // taken: a build signed earlier than the installed one is never installed over it.
  std::optional<std::int64_t> installedSignedAt, latestSignedAt;
  // The first address of the list that answered; it serves every later request of the run.
  std::string serverUrl;
  // Stage 1 found the installed files partly overwritten by an update that never finished.
  bool unfinishedUpdate = false;
  // The signature comes with the version file in stage 2; the package's digest is taken
  // while it downloads in stage 3; stage 4 checks the one against the other.
  std::vector<signing::TrustedSignature> latestSignatures;
  std::optional<signing::Digest> packageDigest;
  // A patch over the installed build that the server announced (and, with signing on,
  // signed); stage 3 then downloads it instead of the package.
  std::optional<PatchAnnouncement> chosenPatch;
  std::vector<signing::TrustedSignature> patchSignatures;
  // The package, open from its first byte until the extraction has read it, so that what
  // is unpacked is what arrived (and was hashed), whatever happens to its name meanwhile.
  FilePtr packageStream;
};

struct UpdateRun {
  const UpdateSettings& settings;
  UpdateState& state;
  Report& report;
  const StopToken& stop;  // reaches into the transfers
};

namespace update {

std::optional<UpdateStage> checkInstalledVersion(UpdateRun& run);
std::optional<UpdateStage> checkLatestVersion(UpdateRun& run);
std::optional<UpdateStage> downloadPackage(UpdateRun& run);
std::optional<UpdateStage> extractPackage(UpdateRun& run);
// Records a newly installed build and writes the closing line; false when the version file
// could not be written.
bool reportReady(UpdateRun& run);

// Fetches url into into, the open partial download of the file path, continuing it and
// trying again after a drop; or once into a file created at path when into is null. Not
// whole when the file did not take every byte that arrived, or no transfer was made. The
// run's stop ends the transfer.
struct DownloadOutcome {
  bool whole = false;          // every byte arrived and was written
  bool answered = false;       // the server sent an answer that is no error (HTTP status below 400)
  std::string failure = {};    // otherwise libcurl's words on the transfer, for the log file
  bool progressShown = false;  // a progress line stands last in the window, for the next line to replace
};
DownloadOutcome downloadFile(UpdateRun& run, const char* url, const char* path, std::FILE* into, TransferHooks hooks);

}  // namespace update
