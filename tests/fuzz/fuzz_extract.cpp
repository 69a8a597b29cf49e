// Arbitrary bytes as a downloaded package. Whatever the archive holds, the extraction
// may write only below the install directory, must never leave a link there, and must
// not report success after it gave up.
#include "app/Check.h"
#include "package/Package.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string installDir = "game";
const std::string packageName = "package.zip";

// A private folder made once per process. Its "work" folder is the working directory,
// so a write that escapes the install directory lands somewhere this harness watches.
fs::path& root() {
  static fs::path path;
  return path;
}

std::set<std::string> names(const fs::path& dir) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) found.insert(entry.path().filename().string());
  return found;
}

// Gives the owner every right on the tree, parents before children, so that a folder
// left without search or write permission cannot keep its contents from being removed.
void makeRemovable(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error || fs::is_symlink(status)) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
  if (!fs::is_directory(status)) return;
  for (const auto& entry : fs::directory_iterator(path, error)) makeRemovable(entry.path());
}

// A tree that cannot be removed would spoil every later run, so that ends the fuzzing.
void removeInstallDir() {
  std::error_code error;
  fs::remove_all(installDir, error);
  if (!error) return;
  makeRemovable(installDir);
  fs::remove_all(installDir, error);
  QUARVEL_CHECK(!error);
}

void writePackage(const std::uint8_t* data, std::size_t size) {
  std::ofstream out(packageName, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  QUARVEL_CHECK(out.good());
}

bool hasSymlinkBelow(const fs::path& dir) {
  if (!fs::is_directory(fs::symlink_status(dir))) return false;
  const auto entries = fs::recursive_directory_iterator(dir);
  return std::any_of(begin(entries), end(entries), [](const fs::directory_entry& e) { return e.is_symlink(); });
}

void checkNothingEscaped() {
  QUARVEL_CHECK(names(root()) == std::set<std::string>{"work"});
  std::set<std::string> work = names(".");
  work.erase(installDir);
  QUARVEL_CHECK(work == std::set<std::string>{packageName});
  QUARVEL_CHECK(!fs::is_symlink(installDir));
  QUARVEL_CHECK(!hasSymlinkBelow(installDir));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "quarvel-fuzz-XXXXXX").string();
  QUARVEL_CHECK(::mkdtemp(pattern.data()) != nullptr);
  root() = fs::canonical(pattern);
  fs::create_directory(root() / "work");
  fs::current_path(root() / "work");
  // A crash leaves the folder behind for a look; a clean finish takes it away.
  std::atexit([] {
    std::error_code error;
    makeRemovable(root());
    fs::remove_all(root(), error);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  removeInstallDir();
  writePackage(data, size);

  std::vector<std::string> log;
  const ExtractionHooks hooks{
      [&log](const std::string& line) { log.push_back(line); },
      [&log](const std::string& line) { log.push_back(line); },
      [](Milliseconds) {},
      [] { return false; },
  };
  const bool extracted = extractArchive(packageName, installDir, hooks);

  checkNothingEscaped();
  const bool aborted = std::find(log.begin(), log.end(), "    Aborting extraction.") != log.end();
  QUARVEL_CHECK(!(extracted && aborted));
  QUARVEL_CHECK(!extracted || log.back() == "    Done.");
  return 0;
}
