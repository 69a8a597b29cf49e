#pragma once
// The two records of what the install folder holds, and the one place that reads and writes
// them: the version file names the build installed whole; the update record says that the
// files of another build are being written over it, so that they are incomplete.

#include "base/Report.h"
#include "version/VersionInfo.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace records {

// The build that the version file at path names; its lines say why there is none.
std::unique_ptr<VersionInfo> readVersionFile(Report& report, const char* path);

// An update left its record: whichever build the version file names, its files are incomplete.
bool updateUnderWay();

// Says durably, before the first write into the install folder, that build is being written
// there; false (with a detail) when that could not be said.
bool recordUpdateUnderWay(const VersionInfo& build, Report& report);
// Takes back a record that nothing was written under.
void dropUpdateRecord();

// Stores build's line in the version file at path, then removes the update record: a crash
// leaves the old line or the new one, and the record until the new line is on the disk.
// With signing on, the time its publisher signed it goes on the second line, in the same
// write, so that a build signed earlier is never taken for an update.
bool recordInstalledBuild(const char* path, const VersionInfo& build, std::optional<std::int64_t> signedAt,
                          Report& report);
// The signed time that the version file at path records; none for a build installed unsigned
// or by a launcher of an earlier release.
std::optional<std::int64_t> readSignedTime(const char* path);

}  // namespace records
