#include "selfupdate/LauncherVersion.h"

#include "base/LauncherAssets.h"
#include "package/Signature.h"

#include <algorithm>
#include <sstream>

namespace {

// A version is a few numbers of at most nine digits: its lines in the launcher's records
// then stay far below what their readers take.
constexpr std::size_t maxVersionParts = 4;

std::optional<std::vector<unsigned>> versionNumbers(const std::string& version) {
  std::vector<unsigned> numbers;
  std::istringstream parts(version);
  std::string part;
  while (std::getline(parts, part, '.')) {
    if (numbers.size() == maxVersionParts || part.empty() || part.size() > 9 ||
        !std::ranges::all_of(part, [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    numbers.push_back(static_cast<unsigned>(std::stoul(part)));
  }
  if (numbers.empty() || version.back() == '.') return std::nullopt;
  return numbers;
}

}  // namespace

bool isLauncherDataFile(const std::string& name) {
  return name == launcherVersionFileName || name == launcherKeysFileName || name == launcherServerFileName ||
         std::ranges::any_of(launcherAssets, [&](const char* asset) { return name == asset; });
}

std::string carriedFileProblem(const std::string& name, bool regularFile) {
  if (!regularFile) return "'" + name + "' in the build's launcher folder is not a plain file";
  if (const std::string problem = plainNameProblem(name); !problem.empty())
    return "'" + name + "' in the build's launcher folder cannot be installed: " + problem;
  if (isLauncherOwnName(name) && !isLauncherProgramName(name) && !isLauncherDataFile(name))
    return "'" + name + "' in the build's launcher folder would replace a file the launcher keeps for itself";
  return {};
}

#ifdef _WIN32
std::string carriedLauncherFolder(const std::string& installDir) { return installDir + "/launcher/windows"; }
#else
std::string carriedLauncherFolder(const std::string& installDir) { return installDir + "/launcher/linux"; }
#endif

std::vector<std::string> keysFileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

bool trustsAKey(const std::string& keysFileText) {
  return std::ranges::any_of(keysFileLines(keysFileText),
                             [](const std::string& line) { return !signing::parsePublicKeys(line).empty(); });
}

bool isLauncherVersion(const std::string& version) { return versionNumbers(version).has_value(); }

bool isNewerVersion(const std::string& candidate, const std::string& current) {
  const auto a = versionNumbers(candidate), b = versionNumbers(current);
  return a && (!b || std::lexicographical_compare(b->begin(), b->end(), a->begin(), a->end()));
}

std::string formatLauncherVersion(const std::string& version) { return "quarvel launcher " + version + "\n"; }

std::optional<std::string> parseLauncherVersion(const std::string& text) {
  const std::string prefix = "quarvel launcher ";
  if (!text.starts_with(prefix)) return std::nullopt;
  std::string version = text.substr(prefix.size());
  if (!version.empty() && version.back() == '\n') version.pop_back();
  if (!isLauncherVersion(version)) return std::nullopt;
  return version;
}
