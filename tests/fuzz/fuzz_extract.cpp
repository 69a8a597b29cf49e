// Arbitrary bytes as a downloaded package. Whatever the archive holds, the extraction
// may write only below the install directory, must never leave a link there, must not
// report success after it gave up or after a write failed, and must refuse a package
// that declares more than the disk can take.
#include "app/Check.h"
#include "package/Package.h"
#include "package/ZipPtr.h"

#include <sys/resource.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string installDir = "game";
const std::string packageName = "package.zip";

// While the extraction runs, files may not grow past 1 MiB: a larger entry meets a write
// error, as on a full disk the free-space check missed. The signal only notes it
// (libFuzzer would take it for a crash of its own).
volatile std::sig_atomic_t writeHitLimit = 0;

bool extractOnAFullDisk(const ExtractionHooks& hooks) {
  writeHitLimit = 0;
  struct sigaction noting {};
  struct sigaction previousAction {};
  noting.sa_handler = [](int) { writeHitLimit = 1; };
  sigemptyset(&noting.sa_mask);
  rlimit previous{};
  QUARVEL_CHECK(::sigaction(SIGXFSZ, &noting, &previousAction) == 0 && ::getrlimit(RLIMIT_FSIZE, &previous) == 0);
  const rlimit lowered{std::min<rlim_t>(1 << 20, previous.rlim_max), previous.rlim_max};
  QUARVEL_CHECK(::setrlimit(RLIMIT_FSIZE, &lowered) == 0);
  const bool extracted = extractArchive(packageName, installDir, hooks);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::sigaction(SIGXFSZ, &previousAction, nullptr);
  return extracted;
}

// A private folder whose "work" folder is the working directory, so that a write that
// escapes the install directory lands where this harness looks.
fs::path root;

std::set<std::string> names(const fs::path& dir) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) found.insert(entry.path().filename().string());
  return found;
}

// The sum of the sizes the entries declare, capped instead of wrapping around.
std::uint64_t declaredBytes() {
  int error = 0;
  ZipPtr archive(zip_open(packageName.c_str(), ZIP_RDONLY, &error));
  if (!archive) return 0;
  constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = 0;
  for (zip_int64_t i = 0, n = zip_get_num_entries(archive.get(), 0); i < n; ++i) {
    zip_stat_t stat;
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0) continue;
    total = stat.size > most - total ? most : total + stat.size;
  }
  return total;
}

bool hasSymlinkBelow(const fs::path& dir) {
  if (!fs::is_directory(fs::symlink_status(dir))) return false;
  const auto entries = fs::recursive_directory_iterator(dir);
  return std::any_of(begin(entries), end(entries), [](const fs::directory_entry& e) { return e.is_symlink(); });
}

void checkNothingEscaped() {
  QUARVEL_CHECK(names(root) == std::set<std::string>{"work"});
  std::set<std::string> work = names(".");
  work.erase(installDir);
  QUARVEL_CHECK(work == std::set<std::string>{packageName});
  QUARVEL_CHECK(!fs::is_symlink(installDir));
  QUARVEL_CHECK(!hasSymlinkBelow(installDir));
}

bool logged(const std::vector<std::string>& log, const std::string& start) {
  return std::any_of(log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(start); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "quarvel-fuzz-XXXXXX").string();
  QUARVEL_CHECK(::mkdtemp(pattern.data()) != nullptr);
  root = fs::canonical(pattern);
  fs::create_directory(root / "work");
  fs::current_path(root / "work");
  std::atexit([] {
    std::error_code error;
    fs::remove_all(root, error);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::error_code removed;
  fs::remove_all(installDir, removed);
  QUARVEL_CHECK(!removed);
  std::ofstream package(packageName, std::ios::binary | std::ios::trunc);
  QUARVEL_CHECK(package.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size)).flush());
  package.close();
  // Other programs write to the same disk meanwhile, so only twice the free space counts.
  const bool tooBig = declaredBytes() / 2 > fs::space(".").available;

  std::vector<std::string> log;
  const ExtractionHooks hooks{
      [&log](const std::string& line) { log.push_back(line); },
      [&log](const std::string& line) { log.push_back(line); },
      [](Milliseconds) {},
      [] { return false; },
  };
  const bool extracted = extractOnAFullDisk(hooks);

  checkNothingEscaped();
  QUARVEL_CHECK(!(extracted && logged(log, "    Aborting extraction.")));
  QUARVEL_CHECK(!extracted || log.back() == "    Done.");
  QUARVEL_CHECK(!(extracted && writeHitLimit));
  if (tooBig) QUARVEL_CHECK(logged(log, "    Not enough free disk space"));
  return 0;
}
