#include "Mirror.h"

#include "Files.h"
#include "Refusal.h"
#include "base/ReadFile.h"
#include "version/VersionInfo.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace {

constexpr const char* versionFile = "latest_version.txt";

bool sameContents(const fs::path& a, const fs::path& b) {
  std::error_code error;
  if (!fs::is_regular_file(b, error) || fs::file_size(a) != fs::file_size(b)) return false;
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> bx(1 << 16), by(1 << 16);
  while (x && y) {
    x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
    y.read(by.data(), static_cast<std::streamsize>(by.size()));
    if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) return false;
  }
  return x.eof() && y.eof();
}

void copyDurably(const fs::path& from, const fs::path& to) {
  TemporaryFile temporary(temporaryNameIn(to.parent_path(), ".mirror"));
  std::error_code error;
  if (!fs::copy_file(from, temporary.path(), error))
    throw Refusal("cannot copy " + quoted(from) + " into " + quoted(to.parent_path()) + ": " + error.message());
  finishFile(temporary.path());
  renameDurably(temporary.path(), to);
  temporary.keep();
}

// The published files: the tool's own temporary files, hidden, are not yet published.
std::vector<std::string> publishedFiles(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && !name.starts_with(".") && name != versionFile) names.push_back(name);
  }
  std::ranges::sort(names);
  return names;
}

}  // namespace

std::string mirror(const fs::path& fromDir, const fs::path& toDir, bool force) {
  // Read first: a publish into fromDir meanwhile announces a package copied below or not at all.
  const std::string announcement = readFileUpTo((fromDir / versionFile).string(), 1 << 20);
  const std::string first = announcement.substr(0, announcement.find('\n'));
  const auto line = parseVersionLine(first);
  if (!line) throw Refusal(quoted(fromDir / versionFile) + " is missing or announces no build");
  fs::create_directories(toDir);
  int copied = 0;
  for (const std::string& name : publishedFiles(fromDir)) {
    if (sameContents(fromDir / name, toDir / name)) continue;
    // Another file under a published name would replace what players may be downloading.
    if (fs::exists(toDir / name) && !force)
      throw Refusal(quoted(toDir / name) + " holds other contents than " + quoted(fromDir / name) + "; use --force");
    copyDurably(fromDir / name, toDir / name), ++copied;
  }
  if (!fs::is_regular_file(toDir / line->packageFile))
    throw Refusal(quoted(fromDir) + " announces '" + first + "' but holds no '" + line->packageFile + "'");
  writeFileDurably(toDir, versionFile, announcement);
  return "Mirrored " + quoted(fromDir) + " to " + quoted(toDir) + ": " + std::to_string(copied) +
         (copied == 1 ? " file" : " files") + " copied, and latest_version.txt last.";
}
