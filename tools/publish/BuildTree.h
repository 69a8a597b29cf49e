#pragma once

#include <filesystem>
#include <string>
#include <vector>

// One entry of the package, in the order it is written.
struct PlannedEntry {
  std::string name;              // "Quarvel/details/Quarvel.exe"; a folder's name ends in "/"
  std::filesystem::path source;  // the file or folder in the build
  unsigned mode = 0;             // file type and permission bits, as stored in the entry
  bool stored = false;           // kept as it is rather than deflated (data compressed already)

  bool isFolder() const { return !name.empty() && name.back() == '/'; }
};

// The single folder at the top of every package.
inline constexpr const char* packageTopFolder = "Quarvel";
// The program the launcher starts, relative to the top folder.
inline constexpr const char* gameProgram = "details/Quarvel.exe";

// Refuses a build the launcher could not start: no game program, or one without
// execute permission.
void requireGameProgram(const std::filesystem::path& buildDir);

// Every file and folder of the build, each folder before its contents, names sorted
// so that the same build always gives the same package. Symbolic links and special
// files are refused: a link could pull in files from outside the build or loop.
std::vector<PlannedEntry> planPackage(const std::filesystem::path& buildDir);

// Adds the launchers in launcherDir ("linux/", "windows/", each a launcher's folder as its
// build leaves it: program, libraries, assets and quarvel-launcher.version) below the
// package's "launcher/" folder, where an installed launcher finds its successor. Refuses a
// folder that lacks one of those, and a build that has a "launcher/" folder of its own. A
// signed build carries only launchers whose quarvel-launcher.keys names a key.
void addCarriedLaunchers(const std::filesystem::path& launcherDir, const std::filesystem::path& buildDir, bool signing,
                         std::vector<PlannedEntry>& entries);
