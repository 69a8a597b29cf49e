#pragma once
// A staged rollout: the studio gives the latest build to a share of players first, and the
// rest keep, or install, the build before it. Each launcher folder draws its place once.

#include "package/Signature.h"

#include <optional>
#include <string>
#include <vector>

struct Rollout {
  int percent = 100;         // of players who take the latest build; 0 once the rollout is halted
  std::string previousLine;  // the build everyone else takes, its line as stored
};

// The announcement after a version file's first line, "rollout: PERCENT PREVIOUS_LINE", which
// launchers without keys go by; none when there is none or it is malformed.
std::optional<Rollout> parseRolloutAnnouncement(std::string_view lines);
// The same as the publisher signed it, in the trusted comment of the latest package's newest
// signature ("rollout:PERCENT" and "previous:LINE"): with signing on, only this one counts.
std::optional<Rollout> signedRollout(const std::vector<signing::TrustedSignature>& signatures);
// The announcement's line, as written after the signatures of the latest build.
std::string formatRolloutAnnouncement(const Rollout& rollout);

// This folder's place, 0 to 99, in the rollout of the build whose line is given: the folder's
// number mixed with the line, so that every rollout reaches another first tenth of players.
int rolloutPlace(const std::string& folderNumber, const std::string& line);

// The number this folder drew, read from its file; drawn and kept on the first start. When it
// cannot be kept, this start goes by a new one, and problem says why.
std::string folderRolloutNumber(std::string& problem);
