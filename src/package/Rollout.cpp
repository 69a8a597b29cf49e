#include "package/Rollout.h"

#include "base/OwnNames.h"
#include "base/ReadFile.h"
#include "platform/Platform.h"
#include "version/VersionInfo.h"

#include <sodium.h>

#include <algorithm>
#include <array>

namespace {

constexpr std::string_view announcementPrefix = "rollout: ";
constexpr std::size_t numberLength = 32;  // 16 random bytes in hex

std::optional<int> percentOf(std::string_view text) {
  const auto percent = decimalNumber(text);
  if (!percent || *percent > 100) return std::nullopt;
  return static_cast<int>(*percent);
}

bool isHexNumber(const std::string& text) {
  return text.size() == numberLength &&
         std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::optional<Rollout> parseRolloutAnnouncement(std::string_view lines) {
  while (!lines.empty()) {
    const std::size_t feed = std::min(lines.find('\n'), lines.size());
    std::string_view line = lines.substr(0, feed);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.remove_prefix(std::min(feed + 1, lines.size()));
    if (!line.starts_with(announcementPrefix)) continue;
    line.remove_prefix(announcementPrefix.size());
    const std::size_t blank = line.find(' ');
    const auto percent = blank == std::string_view::npos ? std::nullopt : percentOf(line.substr(0, blank));
    const std::string_view previous = blank == std::string_view::npos ? "" : line.substr(blank + 1);
    if (!percent || previous.size() != versionLineLength) return std::nullopt;
    return Rollout{*percent, std::string(previous)};
  }
  return std::nullopt;
}

std::optional<Rollout> signedRollout(const std::vector<signing::TrustedSignature>& signatures) {
  const signing::TrustedSignature* newest = signing::newestOf(signatures);
  if (!newest) return std::nullopt;
  const auto percent = signing::commentField(newest->trustedComment, "rollout");
  const auto previous = signing::commentField(newest->trustedComment, "previous");
  if (!percent || !previous || !percentOf(*percent) || previous->size() != versionLineLength) return std::nullopt;
  return Rollout{*percentOf(*percent), std::string(*previous)};
}

std::string formatRolloutAnnouncement(const Rollout& rollout) {
  return std::string(announcementPrefix) + std::to_string(rollout.percent) + " " + rollout.previousLine + "\n";
}

int rolloutPlace(const std::string& folderNumber, const std::string& line) {
  const std::string mixed = folderNumber + "\n" + line;
  std::array<unsigned char, 8> hash{};
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(mixed.data()), mixed.size(),
                     nullptr, 0);
  std::uint64_t value = 0;
  for (const unsigned char byte : hash) value = value << 8 | byte;
  return static_cast<int>(value % 100);
}

std::string folderRolloutNumber(std::string& problem) {
  std::string kept = readFileUpTo(rolloutNumberName, numberLength + 2);
  while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r')) kept.pop_back();
  if (isHexNumber(kept)) return kept;
  std::array<unsigned char, numberLength / 2> bytes{};
  // sodium_init only picks implementations; randombytes draws from the system's source either way.
  if (sodium_init() < 0) problem = "libsodium could not start";
  randombytes_buf(bytes.data(), bytes.size());
  std::string drawn;
  for (const unsigned char byte : bytes) {
    drawn += "0123456789abcdef"[byte >> 4];
    drawn += "0123456789abcdef"[byte & 15];
  }
  if (!platform::replaceFileAtomically(rolloutNumberName, drawn + "\n"))
    problem = std::string("cannot write ") + rolloutNumberName + ": " + platform::lastErrorText();
  return drawn;
}
