#include "app/SelfUpdate.h"

#include "base/LauncherAssets.h"
#include "package/Signature.h"
#include "platform/Platform.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// A slow machine under a virus scan may take a while to start a new program; one that has
// not ended by then is taken as hanging.
constexpr std::chrono::seconds selfCheckLimit{30};

// RollingBack: files are being put back after a failure; a start that finds it goes on
// putting them back rather than forward.
enum class SwapState { Copying, Swapping, Swapped, RollingBack };
constexpr const char* stateNames[] = {"copying", "swapping", "swapped", "rolling back"};
// A failure that may pass (a file held a while, a full disk, a slow first start) is tried
// at this many starts in all; a self-check that fails is not tried again.
constexpr int attemptsPerVersion = 3;
// Lines of at most 48 bytes (a bounded version and its outcome): 64 of them fit the 4 KiB
// that readSmallFile takes.
constexpr std::size_t refusalsKept = 64;

struct SwapRecord {
  std::string version;
  SwapState state = SwapState::Copying;
  std::vector<std::string> files;  // the program last
};

// A version is a few numbers of at most nine digits: its lines in the launcher's records
// then stay far below what their readers take.
constexpr std::size_t maxVersionParts = 4;

std::optional<std::vector<unsigned>> versionNumbers(const std::string& version) {
  std::vector<unsigned> numbers;
  std::istringstream parts(version);
  std::string part;
  while (std::getline(parts, part, '.')) {
    if (numbers.size() == maxVersionParts || part.empty() || part.size() > 9 || !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    numbers.push_back(static_cast<unsigned>(std::stoul(part)));
  }
  if (numbers.empty() || version.back() == '.') return std::nullopt;
  return numbers;
}

// Records, version files and lists of a launcher's files: a few hundred bytes each, so
// reading stops at 4 KiB rather than at whatever size a damaged file has.
std::string readSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(4096, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::string inFolder(const std::string& folder, const std::string& name) { return folder + "/" + name; }

std::string formatRecord(const SwapRecord& record) {
  std::string text = "quarvel launcher update 1\nversion " + record.version + "\nstate " +
                     stateNames[static_cast<int>(record.state)] + "\n";
  for (const std::string& file : record.files) text += "file " + file + "\n";
  return text;
}

std::optional<SwapRecord> readRecord(const std::string& path) {
  std::istringstream lines(readSmallFile(path));
  std::string line;
  if (!std::getline(lines, line) || line != "quarvel launcher update 1") return std::nullopt;
  SwapRecord record;
  bool stated = false;
  while (std::getline(lines, line)) {
    if (line.starts_with("version ")) record.version = line.substr(8);
    if (line.starts_with("file ") && carriedFileProblem(line.substr(5), true).empty()) record.files.push_back(line.substr(5));
    for (int s = 0; s < 4; ++s)
      if (line == std::string("state ") + stateNames[s]) record.state = static_cast<SwapState>(s), stated = true;
  }
  if (!stated || !versionNumbers(record.version)) return std::nullopt;
  return record;
}

bool fileExists(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(fs::symlink_status(path, error));
}

// One replacement's steps, each on the disk before the next begins.
class Swap {
 public:
  Swap(const SelfUpdateContext& context, SwapRecord record) : c_(context), record_(std::move(record)) {}

  bool copyIn(const std::string& fromFolder) {
    if (!saveRecord(SwapState::Copying)) return false;
    // A previous copy found now is left from some earlier replacement; a rollback of this one
    // must never put it back.
    for (const std::string& file : record_.files) std::remove((target(file) + previousSuffix).c_str());
    for (const std::string& file : record_.files) {
      if (!platform::copyFileDurably(inFolder(fromFolder, file), target(file) + nextSuffix))
        return fail("cannot copy " + file + " into the launcher's folder: " + platform::lastErrorText());
      reached();
    }
    return platform::flushFolder(c_.workingFolder) || fail("cannot flush the launcher's folder: " + platform::lastErrorText());
  }

  // Every new file is whole on the disk before the first one takes its name.
  bool putInPlace() {
    if (!saveRecord(SwapState::Swapping)) return false;
    for (const std::string& file : record_.files) {
      if (!fileExists(target(file) + nextSuffix)) continue;  // put in place before a kill
      if (!platform::swapIntoPlace(target(file) + nextSuffix, target(file), target(file) + previousSuffix))
        return fail(file + " cannot be replaced: " + platform::lastErrorText());
      reached();
    }
    return (platform::flushFolder(c_.workingFolder) ||
            fail("cannot flush the launcher's folder: " + platform::lastErrorText())) &&
           saveRecord(SwapState::Swapped);
  }

  // The new copies go; once replacing has begun, each file already replaced, or left
  // without a file at its name, gets its previous copy back (only this replacement made
  // those: it removed any before). Recorded first, so that a kill on the way back is
  // followed by more of the way back, never by the way forward.
  void rollBack() {
    if (record_.state == SwapState::Swapping) saveRecord(SwapState::RollingBack);
    for (const std::string& file : record_.files) {
      const std::string next = target(file) + nextSuffix, previous = target(file) + previousSuffix;
      const bool replaced = !fileExists(next);
      if (!replaced) std::remove(next.c_str());
      if (record_.state != SwapState::Copying && fileExists(previous) && (replaced || !fileExists(target(file))) &&
          !platform::renameReplacing(previous, target(file)))
        c_.detail("cannot put back the previous " + file + ": " + platform::lastErrorText());
    }
    platform::flushFolder(c_.workingFolder);
    platform::removeFileDurably(inFolder(c_.workingFolder, launcherSwapRecordName));
  }

  const std::string& failure() const { return failure_; }

 private:
  std::string target(const std::string& file) const { return inFolder(c_.workingFolder, file); }

  bool saveRecord(SwapState state) {
    record_.state = state;
    if (!platform::replaceFileAtomically(inFolder(c_.workingFolder, launcherSwapRecordName), formatRecord(record_)))
      return fail(std::string("cannot write ") + launcherSwapRecordName + ": " + platform::lastErrorText());
    reached();
    return true;
  }

  bool fail(const std::string& why) {
    failure_ = why;
    return false;
  }

  void reached() {
    if (++step_ == c_.stopAtStep) platform::endAbruptly();
  }

  const SelfUpdateContext& c_;
  SwapRecord record_;
  std::string failure_;
  int step_ = 0;
};

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
    c.detail(std::string("cannot write ") + launcherRefusedName + ": " + platform::lastErrorText());
  const bool again = !wasRefused(c, version);
  c.detail("launcher " + version + " is not installed: " + why +
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

}  // namespace

std::string carriedFileProblem(const std::string& name, bool regularFile) {
  if (!regularFile) return "'" + name + "' in the build's launcher folder is not a plain file";
  if (const std::string problem = plainNameProblem(name); !problem.empty())
    return "'" + name + "' in the build's launcher folder cannot be installed: " + problem;
  // Either system's program: the publisher on one system checks the folders of both.
  const bool launcherFile = name == "quarvel-launcher" || name == "quarvel-launcher.exe" || name == launcherVersionFileName ||
                            name == launcherKeysFileName ||
                            std::ranges::any_of(launcherAssets, [&](const char* asset) { return name == asset; });
  if (isLauncherOwnName(name) && !launcherFile)
    return "'" + name + "' in the build's launcher folder would replace a file the launcher keeps for itself";
  return {};
}

#ifdef _WIN32
std::string carriedLauncherFolder(const std::string& installDir) { return installDir + "/launcher/windows"; }
#else
std::string carriedLauncherFolder(const std::string& installDir) { return installDir + "/launcher/linux"; }
#endif

std::vector<std::string> keysFileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

bool trustsAKey(const std::string& keysFileText) {
  return std::ranges::any_of(keysFileLines(keysFileText),
                             [](const std::string& line) { return !signing::parsePublicKeys(line).empty(); });
}

bool isNewerVersion(const std::string& candidate, const std::string& current) {
  const auto a = versionNumbers(candidate), b = versionNumbers(current);
  return a && (!b || std::lexicographical_compare(b->begin(), b->end(), a->begin(), a->end()));
}

std::string formatLauncherVersion(const std::string& version) { return "quarvel launcher " + version + "\n"; }

std::optional<std::string> parseLauncherVersion(const std::string& text) {
  const std::string prefix = "quarvel launcher ";
  if (!text.starts_with(prefix)) return std::nullopt;
  std::string version = text.substr(prefix.size());
  if (!version.empty() && version.back() == '\n') version.pop_back();
  if (!versionNumbers(version)) return std::nullopt;
  return version;
}

void resumeLauncherUpdate(const SelfUpdateContext& c) {
  const std::string recordPath = inFolder(c.workingFolder, launcherSwapRecordName);
  if (!fileExists(recordPath)) return;
  const auto record = readRecord(recordPath);
  if (!record) {
    c.detail(std::string("unreadable ") + launcherSwapRecordName + " left as it is");
    return;
  }
  Swap swap(c, *record);
  switch (record->state) {
    case SwapState::Copying:
      // Nothing was replaced yet: the copies go, and the launcher is tried again after the update check.
      swap.rollBack();
      c.detail("the update to launcher " + record->version + " had not replaced any file when it stopped; it is started again");
      return;
    case SwapState::Swapping:
      if (!swap.putInPlace()) {
        swap.rollBack();
        refuse(c, record->version, "the replacement that an earlier run left half done cannot be finished (" +
                                       swap.failure() + "), so the previous launcher was restored");
        return;
      }
      c.detail("the update to launcher " + record->version + " that an earlier run left half done is finished");
      // Ended after the program's own rename, the earlier run left the new launcher running now.
      if (record->version != c.ownVersion) c.addLine(updatedLine(record->version));
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
  const auto record = fileExists(recordPath) ? readRecord(recordPath) : std::nullopt;
  if (!record || record->state != SwapState::Swapped || record->version != c.ownVersion) return;
  for (const std::string& file : record->files) std::remove((inFolder(c.workingFolder, file) + previousSuffix).c_str());
  platform::flushFolder(c.workingFolder);
  // The uninstaller reads which files are the launcher's, some of which setup never put
  // there; files that an earlier update brought stay listed.
  std::string list = readSmallFile(inFolder(c.workingFolder, launcherFilesName));
  for (const std::string& file : record->files)
    if (list.find("file " + file + "\n") == std::string::npos) list += "file " + file + "\n";
  if (!platform::replaceFileAtomically(inFolder(c.workingFolder, launcherFilesName), list))
    c.detail(std::string("cannot write ") + launcherFilesName + ": " + platform::lastErrorText());
  platform::removeFileDurably(recordPath);
  c.detail("launcher " + c.ownVersion + " has shown its first frame; the previous launcher's files are removed");
}

void updateLauncherFrom(const std::string& installDir, const SelfUpdateContext& c) {
  const std::string folder = carriedLauncherFolder(installDir);
  const std::string versionFile = inFolder(folder, launcherVersionFileName);
  if (!fileExists(versionFile)) return;  // a build without a launcher for this system
  const auto version = parseLauncherVersion(readSmallFile(versionFile));
  if (!version) return c.detail(std::string("the build's ") + versionFile + " is unreadable; the launcher stays as it is");
  if (!isNewerVersion(*version, c.ownVersion))
    return c.detail("the build carries launcher " + *version + ", not newer than this one (" + c.ownVersion + ")");
  if (wasRefused(c, *version))
    return c.detail("launcher " + *version + " could not be installed before (" + launcherRefusedName +
                    "); it is not tried again");
  if (fileExists(inFolder(c.workingFolder, launcherSwapRecordName)))
    return c.detail("an earlier update of the launcher is not confirmed yet (" + std::string(launcherSwapRecordName) +
                    "), so launcher " + *version + " waits");
  if (c.stopRequested()) return;
  if (!runsFromItsFolder(c))
    return c.detail("this launcher runs as '" + c.ownProgram + "', not as " + launcherProgramName() +
                    " in its folder, so it does not replace itself");
  std::string problem;
  const std::vector<std::string> files = carriedFiles(folder, problem);
  if (!problem.empty()) return refuse(c, *version, problem, true);
  if (c.checksSignatures && !carriedTrustsAKey(folder))
    return refuse(c, *version, std::string("it checks no publisher signature (its ") + launcherKeysFileName +
                                   " names no key), so it would install builds that nobody signed", true);
  if (const SelfCheckFailure failure = selfCheckFailure(folder, *version); !failure.why.empty())
    return refuse(c, *version, failure.why, failure.forGood);
  Swap swap(c, {*version, SwapState::Copying, files});
  if (!swap.copyIn(folder) || !swap.putInPlace()) {
    swap.rollBack();
    return refuse(c, *version, swap.failure());
  }
  c.detail("launcher " + *version + " is installed in place of " + c.ownVersion + "; the previous one is kept until it starts");
  c.addLine(updatedLine(*version));
}
