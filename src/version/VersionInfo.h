#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What one line of a version file says about a build.
struct VersionInfo {
  VersionInfo(std::string version, std::string buildDate, std::string packageFile)
      : version(std::move(version)), buildDate(std::move(buildDate)), packageFile(std::move(packageFile)) {}

  std::string version;      // the build's identifier, shown and compared: versionOfLine of its line
  std::string buildDate;    // "15 March, 2019"
  std::string packageFile;  // "quarvel " + line as stored + ".zip"
};

constexpr std::size_t versionLineLength = 12;

// The first line of a stream opened in binary mode, without its line feed or a carriage
// return before it, read up to limit bytes. The default is the longest line worth
// reading, a version line with its carriage return: a longer line then comes back too
// long but never whole, however much the file holds.
std::string readFirstLine(std::istream& in, std::size_t limit = versionLineLength + 2);

// The identifier of the build that a stored line names: the line with every blank turned into
// an underscore, so that two lines that differ only there name the same build.
std::string versionOfLine(const std::string& line);

// The record for one version line; empty unless the line is exactly 12 characters.
std::unique_ptr<VersionInfo> parseVersionLine(const std::string& line);

// The package of a build: "quarvel " + its line as stored + ".zip"; and the way back, empty
// for a name that is no package's.
std::string packageFileName(const std::string& line);
std::optional<std::string> lineOfPackageFile(const std::string& name);
// The line as the version file stored it, blanks and underscores as they stood.
std::string storedLine(const VersionInfo& info);

// "January".."December" for 1..12, "<unknown month>" otherwise.
std::string monthName(int month);

// The number that text spells in decimal digits and nothing else, up to 18 of them; none otherwise.
std::optional<std::int64_t> decimalNumber(std::string_view text);

// Every underscore becomes a blank: the way back from a version to its stored line.
std::string restoreSpaces(const std::string& text);

// Every blank becomes "%20"; nothing else is escaped.
std::string encodeSpaces(const std::string& text);
