// Arbitrary bytes as a version file: the reader and the parser must hold what the launcher relies on for any input.
#include "base/Check.h"
#include "version/VersionInfo.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// The first line by hand: up to the first line feed, less one carriage return before it (kept
// when no line feed follows); one that reaches the reading limit is cut there.
std::string expectedFirstLine(const std::string& bytes, std::size_t limit) {
  const std::size_t feed = bytes.find('\n');
  std::string line = bytes.substr(0, feed);
  if (line.size() >= limit) return line.substr(0, limit);
  if (feed != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::istringstream in(bytes);
  const std::string line = readFirstLine(in);
  QUARVEL_CHECK(line == expectedFirstLine(bytes, versionLineLength + 2));

  const auto record = parseVersionLine(line);
  QUARVEL_CHECK((record != nullptr) == (line.size() == versionLineLength));
  if (record) {  // the month is read as the standard string-to-int conversion reads it, 0 without a number
    const std::string& v = record->version;
    const int month = static_cast<int>(std::strtol(v.substr(8, 2).c_str(), nullptr, 10));
    QUARVEL_CHECK(record->buildDate == v.substr(10, 2) + " " + monthName(month) + ", " + v.substr(4, 4));
  }
  return 0;
}
