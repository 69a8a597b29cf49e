#include "Mirror.h"

#include "Files.h"
#include "Refusal.h"
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
  if (!fs::copy_file(from, temporary.path())) throw Refusal("cannot copy " + quoted(from));
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

std::string mirror(const fs::path& fromDir, const fs::path& toDir) {
  if (!fs::is_regular_file(fromDir / versionFile))
    throw Refusal(quoted(fromDir) + " announces no build: it has no " + versionFile);
  fs::create_directories(toDir);
  int copied = 0;
  for (const std::string& name : publishedFiles(fromDir))
    if (!sameContents(fromDir / name, toDir / name)) copyDurably(fromDir / name, toDir / name), ++copied;
  if (!sameContents(fromDir / versionFile, toDir / versionFile))
    copyDurably(fromDir / versionFile, toDir / versionFile), ++copied;
  std::ifstream version(toDir / versionFile, std::ios::binary);
  return "Mirrored " + quoted(fromDir) + " to " + quoted(toDir) + ": " + std::to_string(copied) +
         (copied == 1 ? " file" : " files") + " copied; it announces '" + readFirstLine(version, 64) + "'.";
}
