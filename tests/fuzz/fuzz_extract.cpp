// Arbitrary bytes as a package: the extraction writes only below the install directory and leaves no link
// there, reports no success after it gave up or a write failed, and refuses what the disk cannot take.
#include "base/Check.h"
#include "package/Package.h"
#include "package/ZipPtr.h"

#include <sys/resource.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

fs::path root;  // a private folder whose "work" folder is the working directory: an escaped write lands there

volatile std::sig_atomic_t writeHitLimit = 0;

// The sum of the sizes the entries declare, capped instead of wrapping around.
std::uint64_t declaredBytes() {
  ZipPtr archive(zip_open("package.zip", ZIP_RDONLY, nullptr));
  std::uint64_t total = 0;
  zip_stat_t stat;
  for (zip_int64_t i = 0, n = archive ? zip_get_num_entries(archive.get(), 0) : 0; i < n; ++i)
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) == 0)
      total = stat.size > UINT64_MAX - total ? UINT64_MAX : total + stat.size;
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "quarvel-fuzz-XXXXXX").string();
  QUARVEL_CHECK(::mkdtemp(pattern.data()) != nullptr);
  root = fs::canonical(pattern);
  fs::create_directory(root / "work");
  fs::current_path(root / "work");
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fs::remove_all("game");
  std::ofstream package("package.zip", std::ios::binary);
  QUARVEL_CHECK(package.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size)).flush());
  package.close();
  // Other programs write to the same disk meanwhile, so only twice the free space counts.
  const bool tooBig = declaredBytes() / 2 > fs::space(".").available;

  struct Log final : Report {  // each line after a line feed
    void addLine(const std::string& line) override { text += "\n" + line; }
    void replaceLine(const std::string& line) override { text += "\n" + line; }
    void detail(const std::string&) override {}
    bool stopRequested() const override { return false; }
    void pause(Milliseconds) override {}
    std::string text;
  } report;
  const std::string& log = report.text;
  // While the extraction runs, files may not grow past 1 MiB: a larger entry meets a write error, as on a
  // full disk the free-space check missed. The signal only notes it (libFuzzer would take it for a crash).
  const auto previousHandler = ::signal(SIGXFSZ, [](int) { writeHitLimit = 1; });
  rlimit previous{};
  QUARVEL_CHECK(previousHandler != SIG_ERR && ::getrlimit(RLIMIT_FSIZE, &previous) == 0);
  const rlimit lowered{std::min<rlim_t>(1 << 20, previous.rlim_max), previous.rlim_max};
  QUARVEL_CHECK(::setrlimit(RLIMIT_FSIZE, &lowered) == 0);
  writeHitLimit = 0;
  const bool extracted = extractArchive("package.zip", "game", ExtractionHooks{report});
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::signal(SIGXFSZ, previousHandler);

  // Nothing but the package and the install directory in the working directory, and no link anywhere.
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    QUARVEL_CHECK(!entry.is_symlink());
    QUARVEL_CHECK(name == "work" || name == "work/package.zip" || name == "work/game" ||
                  name.starts_with("work/game/"));
  }
  QUARVEL_CHECK(!extracted || (log.ends_with("\n    Done.") && !writeHitLimit));
  QUARVEL_CHECK(!extracted || log.find("\n    Aborting extraction.") == std::string::npos);
  if (tooBig) QUARVEL_CHECK(log.find("\n    Not enough free disk space") != std::string::npos);
  return 0;
}
