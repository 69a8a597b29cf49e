#include "PackageLayout.h"

#include "BuildTree.h"
#include "package/Package.h"
#include "package/ZipPtr.h"

#include <array>
#include <optional>
#include <set>
#include <vector>

namespace {

const std::string installDir = "game";
const std::string programTarget = installDir + "/" + gameProgram;

// What an extraction into an empty install folder does, entry by entry.
struct Extraction {
  std::set<std::string> folders{installDir};  // folders that exist at this point
  std::set<std::string> topFolders;
  std::vector<std::string> outside;  // entries with no top-level folder
  std::vector<std::string> skipped;  // files whose folder did not exist yet
  std::string stoppedAt;             // why the extraction ended early, if it did
  bool programListed = false;
  std::optional<unsigned> programMode;  // the mode the game program gets, once written
  zip_int64_t written = 0;
};

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Reading to the end makes libzip compare the checksum, as the extraction does.
bool readsBackIntact(zip_t* archive, zip_uint64_t index) {
  ZipFilePtr file(zip_fopen_index(archive, index, 0));
  if (!file) return false;
  std::array<char, 65536> buffer;
  zip_int64_t n = 0;
  while ((n = zip_fread(file.get(), buffer.data(), buffer.size())) > 0) {
  }
  return n == 0;
}

// False when the extraction stops at this entry.
bool extractFolder(const std::string& name, const std::string& target, Extraction& run) {
  const std::string folder = target.substr(0, target.size() - 1);
  if (folder == installDir) return true;
  if (run.folders.count(parentOf(folder)) == 0) {
    run.stoppedAt = "the folder '" + name + "', which comes before the folder that holds it";
    return false;
  }
  run.folders.insert(folder);
  return true;
}

bool extractFile(zip_t* archive, zip_uint64_t index, const std::string& name, const std::string& target,
                 Extraction& run) {
  if (target == programTarget) run.programListed = true;
  // A file outside any folder maps onto the install folder itself and cannot be written.
  if (name.find('/') == std::string::npos) {
    run.outside.push_back(name);
    return true;
  }
  if (!readsBackIntact(archive, index)) {
    run.stoppedAt = "'" + name + "', whose data is damaged";
    return false;
  }
  if (run.folders.count(parentOf(target)) == 0) {
    run.skipped.push_back(name);
    return true;
  }
  if (target == programTarget) run.programMode = entryMode(archive, index, false);
  return true;
}

bool extractEntry(zip_t* archive, zip_uint64_t index, Extraction& run) {
  zip_stat_t stat;
  if (zip_stat_index(archive, index, 0, &stat) != 0) return true;  // the extraction passes over it too
  const std::string name = stat.name;
  if (const std::size_t slash = name.find('/'); slash != std::string::npos)
    run.topFolders.insert(name.substr(0, slash));
  const std::string target = targetPath(name, installDir);
  if (isUnsafeTarget(target)) {
    run.stoppedAt = "the unsafe name '" + name + "'";
    return false;
  }
  const bool ok =
      target.back() == '/' ? extractFolder(name, target, run) : extractFile(archive, index, name, target, run);
  if (ok) ++run.written;
  return ok;
}

std::string joined(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "'" : ", '") + name + "'";
  return text;
}

std::string andMore(std::size_t count) {
  return count > 1 ? " (and " + std::to_string(count - 1) + " more like it)" : "";
}

void reportFolders(const Extraction& run, Findings& findings) {
  if (run.topFolders.size() == 1)
    findings.ok("the package has one top-level folder, '" + *run.topFolders.begin() + "'");
  else if (run.topFolders.empty())
    findings.problem("the package has no top-level folder");
  else
    findings.problem("the package has " + std::to_string(run.topFolders.size()) + " top-level folders (" +
                     joined(run.topFolders) + "), which the launcher merges into one");
  if (!run.outside.empty())
    findings.problem("'" + run.outside.front() +
                     "' lies outside the top-level folder, so the launcher cannot install it" +
                     andMore(run.outside.size()));
  if (!run.skipped.empty())
    findings.problem("'" + run.skipped.front() + "' comes before its folder's entry, so the launcher skips it" +
                     andMore(run.skipped.size()));
}

void reportProgram(const Extraction& run, Findings& findings) {
  if (!run.programListed)
    findings.problem(std::string("the package has no ") + gameProgram +
                     " below its top-level folder, so there is no game to start");
  else if (!run.programMode)
    findings.problem(std::string(gameProgram) + " is in the package but the launcher would not install it");
  else if ((*run.programMode & 0100) == 0)
    findings.problem(std::string(gameProgram) +
                     " is stored without execute permission, so the player could not start it");
  else
    findings.ok(std::string(gameProgram) + " is present and executable");
}

}  // namespace

void reportLayout(zip_t* archive, Findings& findings) {
  const zip_int64_t n = zip_get_num_entries(archive, 0);
  Extraction run;
  for (zip_int64_t i = 0; i < n; ++i)
    if (!extractEntry(archive, static_cast<zip_uint64_t>(i), run)) break;

  reportFolders(run, findings);
  if (!run.stoppedAt.empty())
    findings.problem("the launcher stops the extraction at " + run.stoppedAt + ", after " +
                     std::to_string(run.written) + " of " + std::to_string(n) + " entries");
  else if (run.skipped.empty() && run.outside.empty())
    findings.ok("all " + std::to_string(n) +
                " entries install cleanly: folders come before their contents, names are safe, data reads back intact");
  reportProgram(run, findings);
}
