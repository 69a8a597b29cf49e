#pragma once

#include "package/Signature.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A patch carries one build's changes over an earlier one: a zip archive holding
// "manifest.txt", the new and changed small files whole below "files/", and each changed
// large file as a zstd delta against the installed file below "deltas/". Files the patch
// does not name are the same in both builds.
inline constexpr const char* patchManifestEntry = "manifest.txt";
inline constexpr const char* patchFilesFolder = "files/";
inline constexpr const char* patchDeltasFolder = "deltas/";

struct PatchedFile {
  std::string path;  // below the install folder, "/"-separated: "details/Quarvel.exe"
  bool delta = false;
  unsigned mode = 0644;
  std::optional<std::uint64_t> oldSize;  // none: the file is new
  signing::Digest oldHash{};
  std::uint64_t newSize = 0;
  signing::Digest newHash{};
};

struct PatchedFolder {
  std::string path;  // "details"
  unsigned mode = 0755;
};

struct PatchManifest {
  std::string fromLine, toLine;         // the version lines of the base and of the new build
  std::uint64_t packageSize = 0;        // the new build's whole package, for the bytes a patch saves
  std::vector<PatchedFolder> folders;   // every folder of the new build, each before its contents
  std::vector<PatchedFile> files;       // every file that differs from the base
};

// "quarvel 1.1 20261206 patch from 1.0 20261205.zip"
std::string patchFileName(const std::string& fromLine, const std::string& toLine);

std::string formatPatchManifest(const PatchManifest& manifest);
// Empty for anything but a well-formed manifest whose paths all stay below the folder.
std::optional<PatchManifest> parsePatchManifest(std::string_view text);

// The version file announces each patch on a line "patch: BASE_LINE FILE" after the first
// line, followed (with signing on) by the patch's signature.
struct PatchAnnouncement {
  std::string baseLine, file;
};
std::string formatPatchAnnouncement(const PatchAnnouncement& announcement);
std::vector<PatchAnnouncement> parsePatchAnnouncements(std::string_view linesAfterFirst);
