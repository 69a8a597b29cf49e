#include "version/VersionInfo.h"

#include <array>
#include <cctype>
#include <optional>

namespace {

// Reads a decimal number the way the standard string-to-int conversion does:
// leading white space, one sign, then digits up to the first other character.
std::optional<int> leadingNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  int sign = 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) sign = text[i++] == '-' ? -1 : 1;
  if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  int value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = value * 10 + (text[i] - '0');
  return sign * value;
}

std::string replaceAll(const std::string& text, char from, const char* to) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == from)
      out += to;
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string readFirstLine(std::istream& in, std::size_t limit) {
  std::string line;
  char c = 0;
  while (line.size() < limit && in.get(c) && c != '\n') line += c;
  // A carriage return counts only as part of a line end.
  if (c == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string monthName(int month) {
  static const std::array<const char*, 12> names{"January", "February", "March",     "April",   "May",      "June",
                                                 "July",    "August",   "September", "October", "November", "December"};
  return month >= 1 && month <= 12 ? names[month - 1] : "<unknown month>";
}

std::unique_ptr<VersionInfo> parseVersionLine(const std::string& line) {
  if (line.size() != versionLineLength) return nullptr;
  std::string packageFile = packageFileName(line);
  std::string version = versionOfLine(line);
  const std::string year = version.substr(4, 4);
  const std::string day = version.substr(10, 2);
  // A month field with no number at all reads like one outside 1 to 12: the build
  // is still usable, only its date cannot be named.
  const std::string month = monthName(leadingNumber(version.substr(8, 2)).value_or(0));
  return std::make_unique<VersionInfo>(std::move(version), day + " " + month + ", " + year, std::move(packageFile));
}

std::string versionOfLine(const std::string& line) { return replaceAll(line, ' ', "_"); }

std::string packageFileName(const std::string& line) { return "quarvel " + line + ".zip"; }

std::optional<std::string> lineOfPackageFile(const std::string& name) {
  const std::string prefix = "quarvel ", suffix = ".zip";
  if (name.size() != prefix.size() + versionLineLength + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix))
    return std::nullopt;
  return name.substr(prefix.size(), versionLineLength);
}

std::string storedLine(const VersionInfo& info) { return lineOfPackageFile(info.packageFile).value_or(""); }

std::optional<std::int64_t> decimalNumber(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string restoreSpaces(const std::string& text) { return replaceAll(text, '_', " "); }

std::string encodeSpaces(const std::string& text) { return replaceAll(text, ' ', "%20"); }
