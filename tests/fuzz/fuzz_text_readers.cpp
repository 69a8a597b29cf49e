// Arbitrary bytes as each text the launcher reads from a server: a version file, the lines after its first
// (signatures and patch announcements) and a patch's manifest. Every reader must hold what the launcher relies on
// for any input, and what it accepts is written back and read the same again.
#include "base/Check.h"
#include "package/PatchManifest.h"
#include "package/Signature.h"
#include "version/VersionInfo.h"

#include <algorithm>
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

void checkVersionFile(const std::string& bytes) {
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
}

// The key whose id the seed corpus's signatures carry, so that their blocks reach the verification.
const std::vector<signing::PublicKey> keys = signing::parsePublicKeys("RWQSebqrryIV4vIldJI1Umk8w6AJFVL/vUOuvbNvq/Jvfp229qrqSFNq");

bool sameSignature(const signing::Signature& a, const signing::Signature& b) {
  return a.keyId == b.keyId && a.signature == b.signature && a.trustedComment == b.trustedComment &&
         a.globalSignature == b.globalSignature;
}

void checkSignatureLines(const std::string& text) {
  const auto signatures = signing::parseSignatures(text);
  QUARVEL_CHECK(signatures.size() * 4 <= static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  for (const signing::Signature& signature : signatures) {  // written back the way minisign writes it
    const auto again = signing::parseSignatures(signing::formatSignature(signature, "again"));
    QUARVEL_CHECK(again.size() == 1 && sameSignature(again[0], signature));
  }
  // A signature is only trusted for the file its trusted comment names.
  const std::string name = "quarvel 1.0 20261205.zip";
  for (const auto& trusted : signing::findPublisherSignatures(text, name, keys))
    QUARVEL_CHECK(std::ranges::any_of(signatures, [&](const signing::Signature& s) {
      return s.signature == trusted.signature && signing::namesFile(s, name);
    }));
}

bool sameFile(const PatchedFile& a, const PatchedFile& b) {
  return a.path == b.path && a.delta == b.delta && a.mode == b.mode && a.oldSize == b.oldSize &&
         (!a.oldSize || a.oldHash == b.oldHash) && a.newSize == b.newSize && a.newHash == b.newHash;
}

bool sameManifest(const PatchManifest& a, const PatchManifest& b) {
  const auto sameFolder = [](const PatchedFolder& x, const PatchedFolder& y) { return x.path == y.path && x.mode == y.mode; };
  return a.fromLine == b.fromLine && a.toLine == b.toLine && a.packageSize == b.packageSize &&
         std::ranges::equal(a.folders, b.folders, sameFolder) && std::ranges::equal(a.files, b.files, sameFile);
}

bool staysInside(const std::string& path) {
  return !path.empty() && path.front() != '/' && path.find('\\') == std::string::npos &&
         ("/" + path + "/").find("/../") == std::string::npos;
}

// Neither reader may accept a path that leaves the install folder or a file name with a folder in it.
void checkPatchTexts(const std::string& text) {
  if (const auto manifest = parsePatchManifest(text)) {
    for (const PatchedFolder& folder : manifest->folders) QUARVEL_CHECK(staysInside(folder.path));
    for (const PatchedFile& file : manifest->files) QUARVEL_CHECK(staysInside(file.path) && (file.oldSize || !file.delta));
    const auto again = parsePatchManifest(formatPatchManifest(*manifest));
    QUARVEL_CHECK(again && sameManifest(*again, *manifest));
  }
  for (const PatchAnnouncement& patch : parsePatchAnnouncements(text)) {
    QUARVEL_CHECK(patch.baseLine.size() == 12 && !patch.file.empty());
    QUARVEL_CHECK(patch.file.find_first_of("/\\\n") == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkVersionFile(text);
  checkSignatureLines(text);
  checkPatchTexts(text);
  return 0;
}
