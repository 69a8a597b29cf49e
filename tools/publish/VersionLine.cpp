#include "VersionLine.h"

#include "base/OwnNames.h"
#include "version/VersionInfo.h"

#include <cstdio>

namespace {

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// The usual ways an editor or a script spoils a line that looks right.
std::string lengthHint(const std::string& line) {
  if (!line.empty() && line.back() == '\r') return " (it ends in a carriage return with no line feed after it)";
  if (line.rfind("\xEF\xBB\xBF", 0) == 0) return " (it starts with a byte order mark)";
  return {};
}

// The package's name is "quarvel LINE.zip" on the server and on the player's disk, and
// its address is that name with only blanks escaped: anything else special in a file
// name or a web address makes the launcher ask for, or write, something else.
std::string characterFault(const std::string& line) {
  for (char c : line) {
    if (isControl(c)) return "holds a control character";
    if (c == '/' || c == '\\')
      return std::string("holds '") + c + "', a folder separator, which cannot be part of the package's file name";
    if (c == '#' || c == '?' || c == '%')
      return std::string("holds '") + c + "', which would change the package's web address";
  }
  if (const std::string problem = plainNameProblem(packageFileName(line)); !problem.empty())
    return "makes a package file name that launchers refuse to write: " + problem;
  return {};
}

bool isMonth(const std::string& field) {
  if (field.size() != 2 || field[0] < '0' || field[0] > '1' || field[1] < '0' || field[1] > '9') return false;
  const int month = (field[0] - '0') * 10 + (field[1] - '0');
  return month >= 1 && month <= 12;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (isControl(c)) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

LineVerdict judgeVersionLine(const std::string& line) {
  const std::string quoted = "the version line '" + printable(line) + "'";
  if (line.size() != versionLineLength)
    return {LineFault::Length, quoted + " is " + std::to_string(line.size()) + " characters, not " +
                                   std::to_string(versionLineLength) + lengthHint(line)};
  if (const std::string fault = characterFault(line); !fault.empty())
    return {LineFault::Character, quoted + " " + fault};
  // Characters 9 and 10 hold the month of the build date (4 free, 4 year, 2 month, 2 day).
  const std::string month = line.substr(8, 2);
  if (!isMonth(month)) return {LineFault::Month, quoted + " has the month '" + month + "', not 01 to 12"};
  return {};
}
