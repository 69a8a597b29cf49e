#pragma once
// The launcher replacing its own files with a newer launcher that an installed build
// carries, and the start-up work that finishes such a replacement after a kill or a
// power cut.

#include "base/OwnNames.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Why a file named name (a plain file when regularFile) in a build's launcher folder
// cannot be installed into the launcher's folder; empty when it can. Folders, names that
// Windows or the uninstaller would read otherwise, and the names of the launcher's own
// records and downloads are refused.
std::string carriedFileProblem(const std::string& name, bool regularFile);

// Whether candidate, dotted numbers ("0.10.2"), comes after current. A version that is
// not made of dotted numbers is never newer.
bool isNewerVersion(const std::string& candidate, const std::string& current);

// The text of a launcher's version file: "quarvel launcher VERSION".
std::string formatLauncherVersion(const std::string& version);
std::optional<std::string> parseLauncherVersion(const std::string& text);

// Where the running launcher stands, and how it reports.
struct SelfUpdateContext {
  std::string workingFolder;  // the launcher's folder, where its files are replaced
  std::string ownProgram;     // the running program's file
  std::string ownVersion;
  std::function<void(const std::string&)> addLine;  // a line in the window
  std::function<void(const std::string&)> detail;   // a line in the log file alone
  std::function<bool()> stopRequested;
  int stopAtStep = -1;  // tests: the process ends itself at this step of a replacement
  bool checksSignatures = false;  // then it is replaced only by a launcher that checks them too
};

// The publisher keys that a launcher's keys file names (one minisign key line each).
std::vector<std::string> keysFileLines(const std::string& text);
// Whether a keys file names at least one key that reads.
bool trustsAKey(const std::string& keysFileText);

// At start: finishes a replacement that an earlier run left half done, or clears one that
// had not begun replacing anything yet.
void resumeLauncherUpdate(const SelfUpdateContext& context);

// Once the new launcher has shown its first frame, the previous launcher's files go.
void confirmLauncherStarted(const SelfUpdateContext& context);

// After a build is recorded as installed: installs the launcher it carries for this
// system when that one is newer than the running one and passes its self-check.
void updateLauncherFrom(const std::string& installDir, const SelfUpdateContext& context);

// The folder below a build that holds its launcher for this system.
std::string carriedLauncherFolder(const std::string& installDir);
