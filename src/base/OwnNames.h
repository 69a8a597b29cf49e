#pragma once
// The names the launcher keeps for itself in its working folder, in one place: whatever a
// server or a build names must never land on one of them, since the launcher could then
// no longer start, or would trust a record it never wrote.

#include <string>
#include <string_view>

// The installed build's line; rewritten only once every file of that build is on the disk.
inline constexpr const char* localVersionFileName = "latest_version.txt";
// Where the server's version file is fetched to before it is read.
inline constexpr const char* latestVersionDownload = "temp.txt";
// Names the build whose files are being written into the install directory, from the
// first write until that build is recorded in the version file.
inline constexpr const char* updateRecordName = "update_in_progress.txt";
// Locked by the launcher that runs in the folder, for as long as it runs.
inline constexpr const char* folderLockName = "quarvel-launcher.lock";
inline constexpr const char* logFileName = "quarvel-launcher.log";
inline constexpr const char* previousLogFileName = "quarvel-launcher.log.1";
inline constexpr const char* installDirName = "game";
inline constexpr const char* uninstallerName = "uninstall.exe";

// The launcher's version, beside its program in every launcher folder a build carries.
inline constexpr const char* launcherVersionFileName = "quarvel-launcher.version";
// The publisher keys the launcher beside it was built with, one minisign key line each;
// empty when it checks no signature.
inline constexpr const char* launcherKeysFileName = "quarvel-launcher.keys";
// The server address the launcher beside it was built with, one line, for the studio's tools;
// a launcher reads it only in its self-check, to vouch for it.
inline constexpr const char* launcherServerFileName = "quarvel-launcher.server";
// What a replacement of the launcher has done so far; present only while one is under way
// or until the new launcher has shown its first frame.
inline constexpr const char* launcherSwapRecordName = "launcher-update.txt";
// The files of the launcher that an update installed last ("file NAME" lines), for the uninstaller.
inline constexpr const char* launcherFilesName = "launcher-files.txt";
// Versions whose installation failed once; they are not tried again.
inline constexpr const char* launcherRefusedName = "launcher-update-refused.txt";

// A random number drawn once for this launcher folder, which places it within each staged
// rollout; kept so that its place stays the same from one start to the next.
inline constexpr const char* rolloutNumberName = "quarvel-rollout-number.txt";

// A file written whole beside its name before it replaces it.
inline constexpr const char* atomicSuffix = ".new";
// The suffixes of a new launcher file before it takes its name, and of the old one kept beside it.
inline constexpr const char* nextSuffix = ".quarvel-next";
inline constexpr const char* previousSuffix = ".quarvel-previous";
// A patched file decoded beside the installed one, below the install directory.
inline constexpr const char* patchCopySuffix = ".quarvel-new";

// The launcher program's file name on this system.
const char* launcherProgramName();
// Whether name is the launcher program's name on either system (a publisher on one system
// checks the launcher folders of both).
bool isLauncherProgramName(std::string_view name);

// True when name, compared as Windows compares names (letter case aside), is one that the
// launcher keeps in its folder, or a copy of one under a suffix of its own.
bool isLauncherOwnName(std::string_view name);

// Why name cannot be a file of its own in a folder on every system the launcher runs on;
// empty when it can. Folder separators, the characters Windows refuses, a ':' (a stream of
// another file there), device names such as "CON" or "com1.txt", and a trailing dot or
// blank (which Windows drops, so that the name would meet another) are all refused.
std::string plainNameProblem(std::string_view name);
