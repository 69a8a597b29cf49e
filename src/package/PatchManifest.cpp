#include "package/PatchManifest.h"

#include "package/Package.h"

#include <charconv>
#include <sstream>

namespace {

constexpr std::string_view header = "quarvel patch 1";

std::string hex(const signing::Digest& digest) {
  std::string text;
  for (unsigned char byte : digest) {
    text += "0123456789abcdef"[byte >> 4];
    text += "0123456789abcdef"[byte & 15];
  }
  return text;
}

std::optional<signing::Digest> fromHex(std::string_view text) {
  signing::Digest digest;
  if (text.size() != 2 * digest.size()) return std::nullopt;
  for (std::size_t i = 0; i < digest.size(); ++i)
    if (std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, digest[i], 16).ptr != text.data() + 2 * i + 2)
      return std::nullopt;
  return digest;
}

template <typename Number>
std::optional<Number> number(std::string_view text, int base = 10) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// Splits off the next blank-separated field; the last field takes the rest of the line.
std::string_view field(std::string_view& line) {
  const std::size_t blank = std::min(line.find(' '), line.size());
  const std::string_view first = line.substr(0, blank);
  line.remove_prefix(std::min(blank + 1, line.size()));
  return first;
}

// A path the launcher may write: no empty, "." or ".." component, nothing absolute, no
// backslash (a separator on Windows), no control character.
bool safePath(std::string_view path) {
  if (path.empty() || path.find('\\') != std::string_view::npos || path.front() == '/' || path.back() == '/') return false;
  for (char c : path)
    if (static_cast<unsigned char>(c) < 0x20) return false;
  std::string_view rest = path;
  while (!rest.empty()) {
    const std::size_t slash = std::min(rest.find('/'), rest.size());
    const std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    rest.remove_prefix(std::min(slash + 1, rest.size()));
  }
  return !isUnsafeTarget("game/" + std::string(path));
}

std::optional<PatchedFile> parseFileLine(std::string_view how, std::string_view rest) {
  PatchedFile file;
  file.delta = how == "delta";
  const auto mode = number<unsigned>(field(rest), 8);
  const std::string_view oldSize = field(rest), oldHash = field(rest);
  const auto newSize = number<std::uint64_t>(field(rest));
  const auto newHash = fromHex(field(rest));
  if (!mode || *mode > 07777 || !newSize || !newHash || !safePath(rest)) return std::nullopt;
  file.mode = *mode, file.newSize = *newSize, file.newHash = *newHash, file.path = rest;
  if (oldSize == "-" && oldHash == "-" && !file.delta) return file;
  const auto size = number<std::uint64_t>(oldSize);
  const auto hash = fromHex(oldHash);
  if (!size || !hash) return std::nullopt;
  file.oldSize = *size, file.oldHash = *hash;
  return file;
}

}  // namespace

std::string patchFileName(const std::string& fromLine, const std::string& toLine) {
  return "quarvel " + toLine + " patch from " + fromLine + ".zip";
}

std::string formatPatchManifest(const PatchManifest& manifest) {
  std::ostringstream text;
  text << header << "\nfrom " << manifest.fromLine << "\nto " << manifest.toLine << "\npackage " << manifest.packageSize
       << "\n";
  for (const PatchedFolder& folder : manifest.folders) text << "folder " << std::oct << folder.mode << std::dec << " " << folder.path << "\n";
  for (const PatchedFile& file : manifest.files) {
    text << (file.delta ? "delta " : "whole ") << std::oct << file.mode << std::dec << " ";
    if (file.oldSize)
      text << *file.oldSize << " " << hex(file.oldHash);
    else
      text << "- -";
    text << " " << file.newSize << " " << hex(file.newHash) << " " << file.path << "\n";
  }
  return text.str();
}

std::optional<PatchManifest> parsePatchManifest(std::string_view text) {
  PatchManifest manifest;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string_view::npos) return std::nullopt;  // a manifest cut short
    std::string_view line = text.substr(0, feed);
    text.remove_prefix(feed + 1);
    if (lineNumber++ == 0) {
      if (line != header) return std::nullopt;
      continue;
    }
    const std::string_view kind = field(line);
    if (kind == "from" || kind == "to") {
      (kind == "from" ? manifest.fromLine : manifest.toLine) = line;
    } else if (kind == "package") {
      const auto size = number<std::uint64_t>(line);
      if (!size) return std::nullopt;
      manifest.packageSize = *size;
    } else if (kind == "folder") {
      const auto mode = number<unsigned>(field(line), 8);
      if (!mode || *mode > 07777 || !safePath(line)) return std::nullopt;
      manifest.folders.push_back({std::string(line), *mode});
    } else if (kind == "whole" || kind == "delta") {
      auto file = parseFileLine(kind, line);
      if (!file) return std::nullopt;
      manifest.files.push_back(std::move(*file));
    } else {
      return std::nullopt;
    }
  }
  if (manifest.fromLine.size() != 12 || manifest.toLine.size() != 12) return std::nullopt;
  return manifest;
}

std::string formatPatchAnnouncement(const PatchAnnouncement& announcement) {
  return "patch: " + announcement.baseLine + " " + announcement.file + "\n";
}

std::vector<PatchAnnouncement> parsePatchAnnouncements(std::string_view text) {
  constexpr std::string_view prefix = "patch: ";
  std::vector<PatchAnnouncement> found;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string_view::npos) break;  // a last line without its end may have been cut off
    std::string_view line = text.substr(0, feed);
    text.remove_prefix(feed + 1);
    while (line.ends_with('\r')) line.remove_suffix(1);
    if (!line.starts_with(prefix) || line.size() < prefix.size() + 14 || line[prefix.size() + 12] != ' ') continue;
    const std::string_view file = line.substr(prefix.size() + 13);
    // The name comes from the server: one with a folder in it could point the download anywhere.
    if (file.find_first_of("/\\") != std::string_view::npos) continue;
    found.push_back({std::string(line.substr(prefix.size(), 12)), std::string(file)});
  }
  return found;
}
