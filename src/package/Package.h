#pragma once

#include "base/Duration.h"
#include "base/Report.h"
#include "platform/FilePtr.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct zip;
typedef struct zip zip_t;

// "    Downloaded 4 MiB." for a file of 5,000,000 bytes: whole MiB, remainder dropped.
std::string downloadedSizeLine(std::uint32_t bytes);

// Why a package or patch named name by the server may not be downloaded into the launcher's
// folder; empty when it may.
std::string downloadNameProblem(const std::string& name);

// Where an entry goes: its name with everything before the first "/" replaced by
// installDir ("Top/details/a.dll" -> "game/details/a.dll", "readme.txt" -> "game").
std::string targetPath(const std::string& entryName, const std::string& installDir);

// True when a target path could leave the install directory: absolute, or with a
// ".." component (a backslash counts as a separator, as it does on Windows).
bool isUnsafeTarget(const std::string& target);

// The share of entries done, rounded half up: 1 of 8 gives 13, 8 of 8 gives 100.
int progressPercent(int k, std::int64_t n);

// "    Extracting file 3 / 8 (38%): Top/details/a.dll"
std::string progressLine(int k, std::int64_t n, const char* entryName);

// The permission bits an entry gets on disk: those the archive stores, without setuid,
// setgid and sticky, else 0644 for files and 0755 for directories. The owner always
// keeps read and write (and search on directories), so the next update can replace it.
unsigned entryMode(zip* archive, std::uint64_t index, bool directory);
// The one rule for the modes of what an update writes, from a package or a patch: plain
// permission bits only (no setuid, setgid or sticky bit), with the owner's read and write
// (and search, on folders) always kept.
unsigned permittedMode(unsigned mode, bool directory);

// What the extraction tells and asks of whoever runs it: its report, and beginWriting,
// called once right before the first thing is created or written in the install directory
// (a line is the reason it failed, which aborts the extraction).
struct ExtractionHooks {
  Report& report;
  std::function<std::optional<std::string>()> beginWriting = [] { return std::optional<std::string>(); };
};

// Unpacks every entry of the package into installDir, one progress line per entry.
// libzip reads the open file it is given, whatever has become of its name (packageName,
// for the log) since; the file is closed on return. False when there is no file, it
// cannot be opened as an archive, the extraction was aborted (the reason is in the log)
// or stopped.
bool extractArchive(FilePtr package, const std::string& packageName, const std::string& installDir,
                    const ExtractionHooks& hooks);
// The same for a package opened by its name.
bool extractArchive(const std::string& packageFile, const std::string& installDir, const ExtractionHooks& hooks);
