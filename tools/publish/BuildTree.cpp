#include "BuildTree.h"
#include "Files.h"

#include "Refusal.h"
#include "base/LauncherAssets.h"
#include "base/ReadFile.h"
#include "selfupdate/LauncherVersion.h"

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

unsigned permissionBits(const fs::file_status& status) { return static_cast<unsigned>(status.permissions()) & 0777u; }

std::vector<fs::path> sortedChildren(const fs::path& dir) {
  std::vector<fs::path> children;
  for (const auto& child : fs::directory_iterator(dir)) children.push_back(child.path());
  std::sort(children.begin(), children.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
  return children;
}

// A backslash in a name would be read as a folder separator by the launcher's safety check.
void requireStorableName(const fs::path& path) {
  if (path.filename().string().find('\\') != std::string::npos)
    throw Refusal(quoted(path) + " has a backslash in its name, which the launcher refuses");
}

void addFolder(const fs::path& dir, const std::string& name, std::vector<PlannedEntry>& entries) {
  for (const fs::path& child : sortedChildren(dir)) {
    requireStorableName(child);
    const fs::file_status status = fs::symlink_status(child);
    const std::string childName = name + child.filename().string();
    if (fs::is_symlink(status))
      throw Refusal(quoted(child) +
                    " is a symbolic link; the package stores no links, so put the file itself in the build");
    if (fs::is_directory(status)) {
      entries.push_back({childName + "/", child, S_IFDIR | permissionBits(status)});
      addFolder(child, childName + "/", entries);
    } else if (fs::is_regular_file(status)) {
      // Found now rather than half way through writing the package into the server folder.
      if (::access(child.c_str(), R_OK) != 0) throw Refusal(quoted(child) + " cannot be read");
      entries.push_back({childName, child, S_IFREG | permissionBits(status)});
    } else {
      throw Refusal(quoted(child) + " is neither a file nor a folder");
    }
  }
}

}  // namespace

void requireGameProgram(const fs::path& buildDir) {
  if (!fs::is_directory(buildDir))
    throw Refusal("the build folder " + quoted(buildDir) + " does not exist or is not a folder");
  const fs::path program = buildDir / gameProgram;
  const fs::file_status status = fs::symlink_status(program);
  if (!fs::is_regular_file(status) && !fs::is_symlink(status))
    throw Refusal("the build folder " + quoted(buildDir) + " has no " + gameProgram +
                  ", the program the launcher starts");
  // The player owns the installed files, so the owner's bit decides whether it starts.
  if (fs::is_regular_file(status) && (status.permissions() & fs::perms::owner_exec) == fs::perms::none)
    throw Refusal(quoted(program) + " is not executable; give it mode 755 before publishing");
}

namespace {

std::string carriedVersion(const fs::path& dir) {
  const auto version = parseLauncherVersion(readFileUpTo(dir / launcherVersionFileName, 64));
  if (!version)
    throw Refusal(quoted(dir / launcherVersionFileName) + " is missing or does not read \"quarvel launcher VERSION\"");
  return *version;
}

// What a launcher's folder holds as its build leaves it. Anything else (a tool of the build
// folder given by mistake, say) would reach every player.
bool isLauncherFile(const std::string& name, const std::string& program) {
  return name == program || isLauncherDataFile(name) || name == std::string(logFontFile) + ".LICENSE" ||
         (program.ends_with(".exe") && name.ends_with(".dll"));
}

// What the launcher would refuse to install in place of itself is refused here already.
void requireLauncherFiles(const fs::path& dir, const std::string& program) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (const std::string problem = carriedFileProblem(name, fs::is_regular_file(entry.symlink_status()));
        !problem.empty())
      throw Refusal(quoted(dir) + ": " + problem);
    if (!isLauncherFile(name, program))
      throw Refusal(quoted(dir) + ": '" + name + "' is no part of a launcher (its program, " +
                    (program.ends_with(".exe") ? "libraries, " : "") + "assets, the font's licence, " +
                    launcherVersionFileName + ", " + launcherKeysFileName + " and " + launcherServerFileName +
                    "); take it out of the folder");
  }
}

void requireLauncherFolder(const fs::path& dir, const std::string& program, bool signing) {
  requireLauncherFiles(dir, program);
  const fs::file_status status = fs::symlink_status(dir / program);
  if (!fs::is_regular_file(status)) throw Refusal("the launcher folder " + quoted(dir) + " has no " + program);
  if (program.find('.') == std::string::npos && (status.permissions() & fs::perms::owner_exec) == fs::perms::none)
    throw Refusal(quoted(dir / program) + " is not executable; give it mode 755 before publishing");
  for (const char* asset : launcherAssets)
    if (!fs::is_regular_file(fs::symlink_status(dir / asset)))
      throw Refusal("the launcher folder " + quoted(dir) + " has no " + asset + ", which the launcher loads at start");
  carriedVersion(dir);
  // Players' launchers that check signatures refuse one that checks none; a build signed for
  // them would carry it in vain.
  if (signing && !trustsAKey(readFileUpTo(dir / launcherKeysFileName, 64 << 10)))
    throw Refusal("the launcher in " + quoted(dir) + " checks no publisher signature (its " + launcherKeysFileName +
                  " names no key), so the launchers of a signed build refuse it; build it with QUARVEL_PUBLIC_KEY set");
}

}  // namespace

void addCarriedLaunchers(const fs::path& launcherDir, const fs::path& buildDir, bool signing,
                         std::vector<PlannedEntry>& entries) {
  if (fs::exists(fs::symlink_status(buildDir / "launcher")))
    throw Refusal("the build folder " + quoted(buildDir) + " has a launcher folder of its own; give the launcher with --launcher alone");
  const std::string folder = std::string(packageTopFolder) + "/launcher/";
  bool any = false;
  for (const auto& [system, program] : {std::pair{"linux", "quarvel-launcher"}, {"windows", "quarvel-launcher.exe"}}) {
    const fs::path dir = launcherDir / system;
    if (!fs::is_directory(dir)) continue;
    requireLauncherFolder(dir, program, signing);
    if (!any) entries.push_back({folder, launcherDir, S_IFDIR | 0755});
    any = true;
    entries.push_back({folder + system + "/", dir, S_IFDIR | permissionBits(fs::status(dir))});
    addFolder(dir, folder + system + "/", entries);
  }
  if (!any) throw Refusal("--launcher " + quoted(launcherDir) + " holds neither a linux nor a windows folder");
}

std::vector<PlannedEntry> planPackage(const fs::path& buildDir) {
  const std::string top = std::string(packageTopFolder) + "/";
  std::vector<PlannedEntry> entries{{top, buildDir, S_IFDIR | permissionBits(fs::status(buildDir))}};
  addFolder(buildDir, top, entries);
  return entries;
}
