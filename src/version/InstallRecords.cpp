#include "version/InstallRecords.h"

#include "base/OwnNames.h"
#include "platform/Platform.h"

#include <fstream>

namespace records {

std::unique_ptr<VersionInfo> readVersionFile(Report& report, const char* path) {
  // Binary, so that only the one carriage return rule applies on every platform. A
  // folder opens as a stream on some systems; it is no file that could be read.
  std::ifstream file;
  if (!platform::isDirectory(path)) file.open(path, std::ios::binary);
  if (!file.is_open()) {
    report.addLine(std::string("    Could not find file ") + path);
    return nullptr;
  }
  const std::string line = readFirstLine(file);
  file.close();
  auto record = parseVersionLine(line);
  if (!record) report.addLine(std::string("    Could not read file ") + path + ". It may be corrupted");
  return record;
}

bool updateUnderWay() { return std::ifstream(updateRecordName).is_open(); }

bool recordUpdateUnderWay(const VersionInfo& build, Report& report) {
  if (platform::replaceFileAtomically(updateRecordName, restoreSpaces(build.version))) return true;
  report.detail(std::string("cannot write ") + updateRecordName + ": " + platform::lastErrorText());
  return false;
}

void dropUpdateRecord() { platform::removeFileDurably(updateRecordName); }

bool recordInstalledBuild(const char* path, const VersionInfo& build, Report& report) {
  // The stored line has blanks where the version has underscores. Should the record's
  // removal not reach the disk, the next start installs this build once more.
  if (!platform::replaceFileAtomically(path, restoreSpaces(build.version))) {
    report.detail(std::string("cannot write ") + path + ": " + platform::lastErrorText());
    return false;
  }
  if (!platform::removeFileDurably(updateRecordName))
    report.detail(std::string("cannot remove ") + updateRecordName + ": " + platform::lastErrorText());
  return true;
}

}  // namespace records
