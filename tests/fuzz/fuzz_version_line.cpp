// Arbitrary bytes as a version file: the reader and the parser must agree with what the
// launcher relies on for every input, not only for well-formed lines.
#include "app/Check.h"
#include "version/VersionInfo.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// The first line worked out by hand: up to the first line feed, less one carriage
// return before it. A line without a line feed keeps its trailing carriage return, and
// one that reaches the reading limit is cut there.
std::string expectedFirstLine(const std::string& bytes, std::size_t limit) {
  const std::size_t feed = bytes.find('\n');
  std::string line = bytes.substr(0, feed);
  if (line.size() >= limit) return line.substr(0, limit);
  if (feed != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The month the C library reads from the two-digit field, 0 when it reads no number.
int monthByStrtol(const std::string& field) {
  char* end = nullptr;
  const long value = std::strtol(field.c_str(), &end, 10);
  return end == field.c_str() ? 0 : static_cast<int>(value);
}

// The month is read as the standard string-to-int conversion reads it.
void checkRecord(const VersionInfo& record) {
  const std::string& v = record.version;
  QUARVEL_CHECK(record.buildDate ==
                v.substr(10, 2) + " " + monthName(monthByStrtol(v.substr(8, 2))) + ", " + v.substr(4, 4));

  // The launcher stores the version with underscores turned back into blanks and reads
  // it again on the next start: the record must come back with the same version and
  // date, or an installed build would be downloaded again every time.
  const auto reread = parseVersionLine(restoreSpaces(record.version));
  QUARVEL_CHECK(reread && reread->version == record.version && reread->buildDate == record.buildDate);
}

// A package's address must carry no blank and still name the same file on the server.
void checkAddress(const std::string& name) {
  const std::string address = encodeSpaces(name);
  QUARVEL_CHECK(address.find(' ') == std::string::npos);
  std::string decoded = address;
  for (auto at = decoded.find("%20"); at != std::string::npos; at = decoded.find("%20", at + 1))
    decoded.replace(at, 3, " ");
  if (name.find('%') == std::string::npos) QUARVEL_CHECK(decoded == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::istringstream in(bytes);
  const std::string line = readFirstLine(in);
  QUARVEL_CHECK(line == expectedFirstLine(bytes, versionLineLength + 2));

  const auto record = parseVersionLine(line);
  QUARVEL_CHECK((record != nullptr) == (line.size() == versionLineLength));
  if (record) checkRecord(*record);
  checkAddress(line);
  return 0;
}
