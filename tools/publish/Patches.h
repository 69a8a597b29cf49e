#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// An earlier build that a patch starts from: a published package "quarvel LINE.zip"
// (unpacked into scratch for the comparison), or a build folder given as "DIR=LINE".
struct OlderBuild {
  std::string line;
  std::filesystem::path dir;
};
OlderBuild resolveOlderBuild(const std::string& argument, const std::filesystem::path& scratch);

// Writes to into the patch that turns the older build into the new one (its package's entries): every
// folder of the new build, its new files and changed small files whole, each changed
// large file as a zstd delta against the old one, and the manifest. Returns how many
// files it touches.
struct PlannedEntry;
std::size_t writePatch(const OlderBuild& older, const std::vector<PlannedEntry>& newBuild, const std::string& newLine,
                       std::uint64_t packageSize, const std::filesystem::path& into,
                       const std::filesystem::path& scratch);
