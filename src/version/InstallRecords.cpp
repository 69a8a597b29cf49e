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

namespace {
constexpr std::string_view signedPrefix = "signed:";
}

bool recordInstalledBuild(const char* path, const VersionInfo& build, std::optional<std::int64_t> signedAt,
                          Report& report) {
  // The stored line has blanks where the version has underscores. Should the record's
  // removal not reach the disk, the next start installs this build once more.
  const std::string signedLine = signedAt ? "\n" + std::string(signedPrefix) + std::to_string(*signedAt) + "\n" : "";
  if (!platform::replaceFileAtomically(path, restoreSpaces(build.version) + signedLine)) {
    report.detail(std::string("cannot write ") + path + ": " + platform::lastErrorText());
    return false;
  }
  if (!platform::removeFileDurably(updateRecordName))
    report.detail(std::string("cannot remove ") + updateRecordName + ": " + platform::lastErrorText());
  return true;
}

std::optional<std::int64_t> readSignedTime(const char* path) {
  std::ifstream file(path, std::ios::binary);
  readFirstLine(file);
  const std::string line = readFirstLine(file, 40);
  if (!line.starts_with(signedPrefix)) return std::nullopt;
  return decimalNumber(std::string_view(line).substr(signedPrefix.size()));
}

}  // namespace records
