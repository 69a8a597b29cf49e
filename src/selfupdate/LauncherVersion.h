#pragma once
// What a launcher folder that a build carries must be: its version, its keys and its file
// names. The launcher and the publisher both judge a folder by these rules.

#include "base/OwnNames.h"

#include <optional>
#include <string>
#include <vector>

// Why a file named name (a plain file when regularFile) in a build's launcher folder
// cannot be installed into the launcher's folder; empty when it can. Folders, names that
// Windows or the uninstaller would read otherwise, and the names of the launcher's own
// records and downloads are refused.
std::string carriedFileProblem(const std::string& name, bool regularFile);
// Whether name is one of the files beside every launcher's program: its version, keys and
// server files and its assets.
bool isLauncherDataFile(const std::string& name);

// Whether candidate, dotted numbers ("0.10.2"), comes after current. A version that is
// not made of dotted numbers is never newer.
bool isNewerVersion(const std::string& candidate, const std::string& current);

// Whether version is one a launcher may have: at most four numbers of up to nine digits.
bool isLauncherVersion(const std::string& version);

// The text of a launcher's version file: "quarvel launcher VERSION".
std::string formatLauncherVersion(const std::string& version);
std::optional<std::string> parseLauncherVersion(const std::string& text);

// The publisher keys that a launcher's keys file names (one minisign key line each).
std::vector<std::string> keysFileLines(const std::string& text);
// Whether a keys file names at least one key that reads.
bool trustsAKey(const std::string& keysFileText);

// The folder below a build that holds its launcher for this system.
std::string carriedLauncherFolder(const std::string& installDir);
