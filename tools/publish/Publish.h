#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct PublishRequest {
  std::filesystem::path buildDir;
  std::string line;
  std::filesystem::path serverDir;
  bool force = false;
  // None: the build goes out unsigned; each key signs the package and every patch, so that
  // launchers built with any one of them take both.
  std::vector<std::filesystem::path> signingKeys;
  std::vector<std::string> patchFrom;  // earlier builds: "quarvel LINE.zip" packages or "DIR=LINE"
  std::filesystem::path launcherDir;   // empty: the build carries no launcher
  // Below 100: the share of players that get the build; the others keep the one before it.
  std::optional<int> rolloutPercent;
  std::optional<int> validForDays;  // the announcement's life, written into its signatures
};

// Packs the build into SERVER_DIR/"quarvel LINE.zip" and then announces LINE in
// SERVER_DIR/latest_version.txt. Every refusal is raised before the server folder is
// written to; returns the line that reports what was done.
std::string publish(const PublishRequest& request);

// Signs again what SERVER_DIR announces, with a new life (renewing it), or with its rollout
// halted at 0 %: the players who have the build keep it, and nobody else gets it.
std::string reannounce(const std::filesystem::path& serverDir, bool halt,
                       const std::vector<std::filesystem::path>& signingKeys, std::optional<int> validForDays);
