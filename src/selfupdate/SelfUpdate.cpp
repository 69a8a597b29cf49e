#include "selfupdate/SelfUpdate.h"

#include "base/ReadFile.h"
#include "platform/Platform.h"
#include "selfupdate/LauncherSwap.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A slow machine under a virus scan may take a while to start a new program; one that has
// not ended by then is taken as hanging.
constexpr std::chrono::seconds selfCheckLimit{30};
// A failure that may pass (a file held a while, a full disk, a slow first start) is tried
// at this many starts in all; a self-check that fails is not tried again.
constexpr int attemptsPerVersion = 3;
// Records, version files and lists of a launcher's files: a few hundred bytes each, so
// reading stops at 4 KiB rather than at whatever size a damaged file has.
constexpr std::size_t smallFileLimit = 4096;
// Lines of at most 48 bytes (a bounded version and its outcome): 64 of them fit in
// smallFileLimit.
constexpr std::size_t refusalsKept = 64;

std::string readSmallFile(const std::string& path) { return readFileUpTo(path, smallFileLimit); }

LauncherSwap swapFor(const SelfUpdateContext& c, SwapRecord record) {
  return LauncherSwap(c.workingFolder, c.report, c.stopAtStep, std::move(record));
}

std::string refusedPath(const SelfUpdateContext& c) { return inFolder(c.workingFolder, launcherRefusedName); }

// Whether version has failed for good, or at as many starts as it may.
bool wasRefused(const SelfUpdateContext& c, const std::string& version) {
  std::istringstream lines(readSmallFile(refusedPath(c)));
  int attempts = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line == version + " refused") return true;
    attempts += line == version + " failed";
  }
  return attempts >= attemptsPerVersion;
}

// Remembered, so that a launcher that cannot be installed costs a few attempts, not one a
// start: one for a failure that says nothing of another start (its self-check failed),
// three for the others.
void refuse(const SelfUpdateContext& c, const std::string& version, const std::string& why, bool forGood = false) {
  // The newest lines are kept, so that the file stays small enough to be read whole.
  std::istringstream kept(readSmallFile(refusedPath(c)));
  std::vector<std::string> lines;
  for (std::string line; std::getline(kept, line);) lines.push_back(line);
  lines.push_back(version + (forGood ? " refused" : " failed"));
  std::string text;
  for (std::size_t i = lines.size() > refusalsKept ? lines.size() - refusalsKept : 0; i < lines.size(); ++i)
    text += lines[i] + "\n";
  if (!platform::replaceFileAtomically(refusedPath(c), text))
    c.report.detail(std::string("cannot write ") + launcherRefusedName + ": " + platform::lastErrorText());
  const bool again = !wasRefused(c, version);
  c.report.detail("launcher " + version + " is not installed: " + why +
           (again ? "; it is tried again at a later start" : "; it is not tried again"));
}

std::string updatedLine(const std::string& version) {
  return "The launcher was updated to version " + version + "; the new one starts next time.";
}

// The carried launcher's files, its program last; the reason instead when one cannot go
// into the launcher's folder as it is.
std::vector<std::string> carriedFiles(const std::string& folder, std::string& problem) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (problem.empty()) problem = carriedFileProblem(name, fs::is_regular_file(entry.symlink_status()));
    if (name != launcherProgramName()) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  if (problem.empty() && !fileExists(inFolder(folder, launcherProgramName())))
    problem = std::string("the build's launcher folder holds no ") + launcherProgramName();
  files.push_back(launcherProgramName());
  return files;
}

struct SelfCheckFailure {
  std::string why;  // empty: the check passed
  bool forGood = false;
};

SelfCheckFailure selfCheckFailure(const std::string& folder, const std::string& version) {
  std::error_code error;
  const std::string where = fs::absolute(folder, error).string();  // the program starts in it
  const platform::ProgramOutcome outcome =
      platform::runProgram(inFolder(where, launcherProgramName()), "--self-check=" + version, where, selfCheckLimit);
  switch (outcome.end) {
    case platform::ProgramOutcome::NotStarted: return {"its self-check could not be started: " + outcome.systemWords};
    case platform::ProgramOutcome::TimedOut: return {"its self-check did not end within 30 s"};
    case platform::ProgramOutcome::Ended: break;
  }
  if (outcome.status != 0) return {"its self-check ended with status " + std::to_string(outcome.status), true};
  return {};
}

// Trust never shrinks by accident (a launcher built in a fresh folder without its keys,
// say): the carried launcher's keys file tells, and its self-check vouches for the file.
bool carriedTrustsAKey(const std::string& folder) {
  return trustsAKey(readSmallFile(inFolder(folder, launcherKeysFileName)));
}

// The replacement writes into the launcher's folder only: a launcher started from
// elsewhere, or under another name, leaves its files alone.
bool runsFromItsFolder(const SelfUpdateContext& c) {
  std::error_code error;
  const fs::path program = fs::weakly_canonical(c.ownProgram, error);
  return !c.ownProgram.empty() && program.filename() == launcherProgramName() &&
         fs::equivalent(program.parent_path(), c.workingFolder, error);
}

// Why the launcher a build carries is not installed now, if it is not: the reason is
// worth a line in the log file but says nothing against the launcher itself.
std::string reasonToLeaveAlone(const SelfUpdateContext& c, const std::string& version) {
  if (!isNewerVersion(version, c.ownVersion))
    return "the build carries launcher " + version + ", not newer than this one (" + c.ownVersion + ")";
  if (wasRefused(c, version))
    return "launcher " + version + " could not be installed before (" + launcherRefusedName + "); it is not tried again";
  if (fileExists(inFolder(c.workingFolder, launcherSwapRecordName)))
    return "an earlier update of the launcher is not confirmed yet (" + std::string(launcherSwapRecordName) +
           "), so launcher " + version + " waits";
  if (!runsFromItsFolder(c))
    return "this launcher runs as '" + c.ownProgram + "', not as " + launcherProgramName() +
           " in its folder, so it does not replace itself";
  return {};
}

// Why the carried launcher in folder can never be installed, if it cannot: refused for good.
// The second of the pair says whether that is for good.
std::pair<std::string, bool> reasonToRefuse(const SelfUpdateContext& c, const std::string& folder,
                                            const std::string& version, std::vector<std::string>& files) {
  std::string problem;
  files = carriedFiles(folder, problem);
  if (!problem.empty()) return {problem, true};
  if (c.checksSignatures && !carriedTrustsAKey(folder))
    return {std::string("it checks no publisher signature (its ") + launcherKeysFileName +
                " names no key), so it would install builds that nobody signed",
            true};
  const SelfCheckFailure failure = selfCheckFailure(folder, version);
  return {failure.why, failure.forGood};
}

}  // namespace

void resumeLauncherUpdate(const SelfUpdateContext& c) {
  const std::string recordPath = inFolder(c.workingFolder, launcherSwapRecordName);
  if (!fileExists(recordPath)) return;
  const auto record = parseSwapRecord(readSmallFile(recordPath));
  if (!record) {
    c.report.detail(std::string("unreadable ") + launcherSwapRecordName + " left as it is");
    return;
  }
  LauncherSwap swap = swapFor(c, *record);
  switch (record->state) {
    case SwapState::Copying:
      // Nothing was replaced yet: the copies go, and the launcher is tried again after the update check.
      swap.rollBack();
      c.report.detail("the update to launcher " + record->version + " had not replaced any file when it stopped; it is started again");
      return;
    case SwapState::Swapping:
      if (!swap.putInPlace()) {
        swap.rollBack();
        refuse(c, record->version, "the replacement that an earlier run left half done cannot be finished (" +
                                       swap.failure() + "), so the previous launcher was restored");
        return;
      }
      c.report.detail("the update to launcher " + record->version + " that an earlier run left half done is finished");
      // Ended after the program's own rename, the earlier run left the new launcher running now.
      if (record->version != c.ownVersion) c.report.addLine(updatedLine(record->version));
      return;
    case SwapState::RollingBack:
      swap.rollBack();
      refuse(c, record->version, "it had failed and was being undone when the earlier run stopped; the previous launcher is restored");
      return;
    case SwapState::Swapped: return;  // the previous launcher's files go after the first frame
  }
}

void confirmLauncherStarted(const SelfUpdateContext& c) {
  const std::string recordPath = inFolder(c.workingFolder, launcherSwapRecordName);
  const auto record = fileExists(recordPath) ? parseSwapRecord(readSmallFile(recordPath)) : std::nullopt;
  if (!record || record->state != SwapState::Swapped || record->version != c.ownVersion) return;
  for (const std::string& file : record->files) std::remove((inFolder(c.workingFolder, file) + previousSuffix).c_str());
  platform::flushFolder(c.workingFolder);
  // The uninstaller reads which files are the launcher's, some of which setup never put
  // there; files that an earlier update brought stay listed.
  std::string list = readSmallFile(inFolder(c.workingFolder, launcherFilesName));
  for (const std::string& file : record->files)
    if (list.find("file " + file + "\n") == std::string::npos) list += "file " + file + "\n";
  if (!platform::replaceFileAtomically(inFolder(c.workingFolder, launcherFilesName), list))
    c.report.detail(std::string("cannot write ") + launcherFilesName + ": " + platform::lastErrorText());
  platform::removeFileDurably(recordPath);
  c.report.detail("launcher " + c.ownVersion + " has shown its first frame; the previous launcher's files are removed");
}

void updateLauncherFrom(const std::string& installDir, const SelfUpdateContext& c) {
  const std::string folder = carriedLauncherFolder(installDir);
  const std::string versionFile = inFolder(folder, launcherVersionFileName);
  if (!fileExists(versionFile)) return;  // a build without a launcher for this system
  const auto version = parseLauncherVersion(readSmallFile(versionFile));
  std::string why = version ? reasonToLeaveAlone(c, *version)
                            : std::string("the build's ") + versionFile + " is unreadable; the launcher stays as it is";
  if (!why.empty()) {
    c.report.detail(why);
    return;
  }
  if (c.report.stopRequested()) return;
  std::vector<std::string> files;
  const auto [refusal, forGood] = reasonToRefuse(c, folder, *version, files);
  if (!refusal.empty()) {
    refuse(c, *version, refusal, forGood);
    return;
  }
  LauncherSwap swap = swapFor(c, {*version, SwapState::Copying, files});
  if (!swap.copyIn(folder) || !swap.putInPlace()) {
    swap.rollBack();
    refuse(c, *version, swap.failure());
    return;
  }
  c.report.detail("launcher " + *version + " is installed in place of " + c.ownVersion + "; the previous one is kept until it starts");
  c.report.addLine(updatedLine(*version));
}
