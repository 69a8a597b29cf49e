#include "selfupdate/LauncherSwap.h"

#include "base/OwnNames.h"
#include "platform/Platform.h"
#include "selfupdate/LauncherVersion.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

constexpr const char* stateNames[] = {"copying", "swapping", "swapped", "rolling back"};

}  // namespace

std::string inFolder(const std::string& folder, const std::string& name) { return folder + "/" + name; }

bool fileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

std::string formatSwapRecord(const SwapRecord& record) {
  std::string text = "quarvel launcher update 1\nversion " + record.version + "\nstate " +
                     stateNames[static_cast<int>(record.state)] + "\n";
  for (const std::string& file : record.files) text += "file " + file + "\n";
  return text;
}

std::optional<SwapRecord> parseSwapRecord(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != "quarvel launcher update 1") return std::nullopt;
  SwapRecord record;
  bool stated = false;
  while (std::getline(lines, line)) {
    if (line.starts_with("version ")) record.version = line.substr(8);
    if (line.starts_with("file ") && carriedFileProblem(line.substr(5), true).empty())
      record.files.push_back(line.substr(5));
    for (int s = 0; s < 4; ++s)
      if (line == std::string("state ") + stateNames[s]) record.state = static_cast<SwapState>(s), stated = true;
  }
  if (!stated || !isLauncherVersion(record.version)) return std::nullopt;
  return record;
}

bool LauncherSwap::copyIn(const std::string& fromFolder) {
  if (!saveRecord(SwapState::Copying)) return false;
  // A previous copy found now is left from some earlier replacement; a rollback of this one
  // must never put it back.
  for (const std::string& file : record_.files) std::remove((target(file) + previousSuffix).c_str());
  for (const std::string& file : record_.files) {
    if (!platform::copyFileDurably(inFolder(fromFolder, file), target(file) + nextSuffix))
      return fail("cannot copy " + file + " into the launcher's folder: " + platform::lastErrorText());
    reached();
  }
  return platform::flushFolder(folder_) || fail("cannot flush the launcher's folder: " + platform::lastErrorText());
}

bool LauncherSwap::putInPlace() {
  if (!saveRecord(SwapState::Swapping)) return false;
  for (const std::string& file : record_.files) {
    if (!fileExists(target(file) + nextSuffix)) continue;  // put in place before a kill
    if (!platform::swapIntoPlace(target(file) + nextSuffix, target(file), target(file) + previousSuffix))
      return fail(file + " cannot be replaced: " + platform::lastErrorText());
    reached();
  }
  return (platform::flushFolder(folder_) || fail("cannot flush the launcher's folder: " + platform::lastErrorText())) &&
         saveRecord(SwapState::Swapped);
}

// The new copies go; once replacing has begun, each file already replaced, or left without a
// file at its name, gets its previous copy back (only this replacement made those: it
// removed any before). Recorded first, so that a kill on the way back is followed by more of
// the way back, never by the way forward.
void LauncherSwap::rollBack() {
  if (record_.state == SwapState::Swapping) saveRecord(SwapState::RollingBack);
  for (const std::string& file : record_.files) {
    const std::string next = target(file) + nextSuffix, previous = target(file) + previousSuffix;
    const bool replaced = !fileExists(next);
    if (!replaced) std::remove(next.c_str());
    if (record_.state != SwapState::Copying && fileExists(previous) && (replaced || !fileExists(target(file))) &&
        !platform::renameReplacing(previous, target(file)))
      report_.detail("cannot put back the previous " + file + ": " + platform::lastErrorText());
  }
  platform::flushFolder(folder_);
  platform::removeFileDurably(inFolder(folder_, launcherSwapRecordName));
}

bool LauncherSwap::saveRecord(SwapState state) {
  record_.state = state;
  if (!platform::replaceFileAtomically(inFolder(folder_, launcherSwapRecordName), formatSwapRecord(record_)))
    return fail(std::string("cannot write ") + launcherSwapRecordName + ": " + platform::lastErrorText());
  reached();
  return true;
}

bool LauncherSwap::fail(const std::string& why) {
  failure_ = why;
  return false;
}

void LauncherSwap::reached() {
  if (++step_ == stopAtStep_) platform::endAbruptly();
}
