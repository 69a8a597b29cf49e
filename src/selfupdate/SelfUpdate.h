#pragma once
// The launcher replacing its own files with a newer launcher that an installed build
// carries, and the start-up work that finishes such a replacement after a kill or a
// power cut: what to do and when. The steps of a replacement are LauncherSwap's; what a
// carried launcher must be is LauncherVersion's.

#include "base/Report.h"
#include "selfupdate/LauncherVersion.h"

#include <string>

// Where the running launcher stands, and how it reports.
struct SelfUpdateContext {
  std::string workingFolder;  // the launcher's folder, where its files are replaced
  std::string ownProgram;     // the running program's file
  std::string ownVersion;
  Report& report;
  int stopAtStep = -1;  // tests: the process ends itself at this step of a replacement
  bool checksSignatures = false;  // then it is replaced only by a launcher that checks them too
};

// At start: finishes a replacement that an earlier run left half done, or clears one that
// had not begun replacing anything yet.
void resumeLauncherUpdate(const SelfUpdateContext& context);

// Once the new launcher has shown its first frame, the previous launcher's files go.
void confirmLauncherStarted(const SelfUpdateContext& context);

// After a build is recorded as installed: installs the launcher it carries for this
// system when that one is newer than the running one and passes its self-check.
void updateLauncherFrom(const std::string& installDir, const SelfUpdateContext& context);
