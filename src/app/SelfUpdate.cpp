#include "app/SelfUpdate.h"

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

enum class SwapState { Copying, Swapping, Swapped };
constexpr const char* stateNames[] = {"copying", "swapping", "swapped"};

struct SwapRecord {
  std::string version;
  SwapState state = SwapState::Copying;
  std::vector<std::string> files;  // the program last
};

std::optional<std::vector<unsigned>> versionNumbers(const std::string& version) {
  std::vector<unsigned> numbers;
  std::istringstream parts(version);
  std::string part;
  while (std::getline(parts, part, '.')) {
    if (part.empty() || part.size() > 6 || !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    numbers.push_back(static_cast<unsigned>(std::stoul(part)));
  }
  if (numbers.empty() || version.back() == '.') return std::nullopt;
  return numbers;
}

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

// No folder, and nothing that Windows or the uninstaller's wildcards would read otherwise.
bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:*?\"<>|") == std::string::npos;
}

std::optional<SwapRecord> readRecord(const std::string& path) {
  std::istringstream lines(readSmallFile(path));
  std::string line;
  if (!std::getline(lines, line) || line != "quarvel launcher update 1") return std::nullopt;
  SwapRecord record;
  bool stated = false;
  while (std::getline(lines, line)) {
    if (line.starts_with("version ")) record.version = line.substr(8);
    if (line.starts_with("file ") && isPlainName(line.substr(5))) record.files.push_back(line.substr(5));
    for (int s = 0; s < 3; ++s)
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
    for (const std::string& file : record_.files) {
      if (!platform::copyFileDurably(inFolder(fromFolder, file), target(file) + nextSuffix))
        return fail("cannot copy " + file + " into the launcher's folder: " + platform::lastErrorText());
      reached();
    }
    return platform::flushFolder(c_.workingFolder) || fail("cannot flush the launcher's folder");
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
    return (platform::flushFolder(c_.workingFolder) || fail("cannot flush the launcher's folder")) &&
           saveRecord(SwapState::Swapped);
  }

  // The new copies go; once replacing has begun, the files already replaced get their
  // previous copies back (only this replacement made those: it removes any before).
  void rollBack() {
    for (const std::string& file : record_.files) {
      if (fileExists(target(file) + nextSuffix))
        std::remove((target(file) + nextSuffix).c_str());
      else if (record_.state != SwapState::Copying && fileExists(target(file) + previousSuffix))
        platform::renameReplacing(target(file) + previousSuffix, target(file));
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

bool wasRefused(const SelfUpdateContext& c, const std::string& version) {
  std::istringstream lines(readSmallFile(refusedPath(c)));
  for (std::string line; std::getline(lines, line);)
    if (line == version) return true;
  return false;
}

// Remembered so that a launcher that cannot be installed costs one attempt, not one a start.
void refuse(const SelfUpdateContext& c, const std::string& version, const std::string& why) {
  c.detail("launcher " + version + " is not installed: " + why + "; it is not tried again");
  if (!platform::replaceFileAtomically(refusedPath(c), readSmallFile(refusedPath(c)) + version + "\n"))
    c.detail(std::string("cannot write ") + launcherRefusedName + ": " + platform::lastErrorText());
}

std::string updatedLine(const std::string& version) {
  return "The launcher was updated to version " + version + "; the new one starts next time.";
}

// The carried launcher's files, its program last; empty when the folder holds no program.
std::vector<std::string> carriedFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (fs::is_regular_file(entry.symlink_status()) && isPlainName(name) && name != launcherProgramName())
      files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  if (!fileExists(inFolder(folder, launcherProgramName()))) return {};
  files.push_back(launcherProgramName());
  return files;
}

std::string selfCheckFailure(const std::string& folder, const std::string& version) {
  std::error_code error;
  const std::string where = fs::absolute(folder, error).string();  // the program starts in it
  const auto status =
      platform::runProgram(inFolder(where, launcherProgramName()), "--self-check=" + version, where, selfCheckLimit);
  if (!status) return "its self-check could not be started or did not end within 30 s";
  if (*status != 0) return "its self-check ended with status " + std::to_string(*status);
  return {};
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

#ifdef _WIN32
const char* launcherProgramName() { return "quarvel-launcher.exe"; }
std::string carriedLauncherFolder(const std::string& installDir) { return installDir + "/launcher/windows"; }
#else
const char* launcherProgramName() { return "quarvel-launcher"; }
std::string carriedLauncherFolder(const std::string& installDir) { return installDir + "/launcher/linux"; }
#endif

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
    case SwapState::Swapped: return;  // the previous launcher's files go after the first frame
  }
}

void confirmLauncherStarted(const SelfUpdateContext& c) {
  const std::string recordPath = inFolder(c.workingFolder, launcherSwapRecordName);
  const auto record = fileExists(recordPath) ? readRecord(recordPath) : std::nullopt;
  if (!record || record->state != SwapState::Swapped || record->version != c.ownVersion) return;
  for (const std::string& file : record->files) std::remove((inFolder(c.workingFolder, file) + previousSuffix).c_str());
  platform::flushFolder(c.workingFolder);
  // The uninstaller reads which files are the launcher's, some of which setup never put there.
  std::string list;
  for (const std::string& file : record->files) list += "file " + file + "\n";
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
    return c.detail("launcher " + *version + " could not be installed before (" + launcherRefusedName + "); it is not tried again");
  if (fileExists(inFolder(c.workingFolder, launcherSwapRecordName)) || c.stopRequested()) return;
  if (!runsFromItsFolder(c))
    return c.detail("this launcher runs as '" + c.ownProgram + "', not as " + launcherProgramName() +
                    " in its folder, so it does not replace itself");
  const std::vector<std::string> files = carriedFiles(folder);
  if (files.empty()) return refuse(c, *version, std::string("the build's launcher folder holds no ") + launcherProgramName());
  if (const std::string failure = selfCheckFailure(folder, *version); !failure.empty())
    return refuse(c, *version, failure);
  Swap swap(c, {*version, SwapState::Copying, files});
  if (!swap.copyIn(folder) || !swap.putInPlace()) {
    swap.rollBack();
    return refuse(c, *version, swap.failure());
  }
  c.detail("launcher " + *version + " is installed in place of " + c.ownVersion + "; the previous one is kept until it starts");
  c.addLine(updatedLine(*version));
}
