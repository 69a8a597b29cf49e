#include "base/OwnNames.h"

#include "base/LauncherAssets.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool sameName(std::string_view a, std::string_view b) { return lowered(a) == lowered(b); }

bool endsWithName(std::string_view name, std::string_view suffix) {
  return name.size() >= suffix.size() && sameName(name.substr(name.size() - suffix.size()), suffix);
}

constexpr std::array ownFiles{localVersionFileName,   latestVersionDownload,  updateRecordName,   folderLockName,
                              logFileName,            previousLogFileName,    installDirName,     uninstallerName,
                              launcherVersionFileName, launcherKeysFileName,  launcherServerFileName,
                              launcherSwapRecordName, launcherFilesName,      launcherRefusedName, rolloutNumberName};

// Windows opens these as devices, whatever extension follows them.
constexpr std::array deviceNames{"con", "prn", "aux", "nul", "conin$", "conout$"};
bool isDeviceName(std::string_view name) {
  std::string stem = lowered(name.substr(0, std::min(name.find('.'), name.size())));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (std::ranges::find(deviceNames, stem) != deviceNames.end()) return true;
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
         std::isdigit(static_cast<unsigned char>(stem[3]));
}

}  // namespace

#ifdef _WIN32
const char* launcherProgramName() { return "quarvel-launcher.exe"; }
#else
const char* launcherProgramName() { return "quarvel-launcher"; }
#endif

bool isLauncherProgramName(std::string_view name) { return name == "quarvel-launcher" || name == "quarvel-launcher.exe"; }

bool isLauncherOwnName(std::string_view name) {
  if (endsWithName(name, nextSuffix) || endsWithName(name, previousSuffix)) return true;
  if (endsWithName(name, atomicSuffix)) name.remove_suffix(std::string_view(atomicSuffix).size());
  const auto own = [&](const char* file) { return sameName(name, file); };
  return std::ranges::any_of(ownFiles, own) || std::ranges::any_of(launcherAssets, own) ||
         isLauncherProgramName(lowered(name));
}

std::string plainNameProblem(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return "it is no file name";
  if (name.find_first_of("/\\") != std::string_view::npos) return "it holds a folder separator";
  if (std::ranges::any_of(name, [](unsigned char c) { return c < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos; }))
    return "it holds a character that Windows refuses in a file name";
  if (name.back() == '.' || name.back() == ' ') return "it ends in a dot or a blank, which Windows drops";
  if (isDeviceName(name)) return "Windows reads it as a device";
  return {};
}
