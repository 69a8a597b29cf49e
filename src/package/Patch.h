#pragma once

#include "package/Package.h"
#include "package/PatchManifest.h"

#include <cstdint>
#include <string>

enum class PatchOutcome {
  Applied,         // the install folder now holds the new build
  UseFullPackage,  // nothing was written: the patch is unusable, or an installed file is not the one it expects
  Failed,          // the reason is in the log; once something was written, the record says so
};

// What the patch must be: from the installed build to the latest one (their versions, blanks
// as underscores), and how big it was.
struct PatchTarget {
  std::string fromVersion, toVersion;
  std::uint64_t patchBytes = 0;
};

// Applies the patch in the open file (patchName, for the log) to installDir. Before the
// first write every installed file the patch replaces is checked against the manifest.
// Whole files are written as the extraction writes them; a delta is decoded from the
// installed file into a new file beside it, checked against the manifest's hash, flushed
// and renamed over the old one.
// The manifest of a patch archive; empty when it has none that reads.
std::optional<PatchManifest> readPatchManifest(zip_t* archive);

PatchOutcome applyPatch(FilePtr patch, const std::string& patchName, const PatchTarget& target,
                        const std::string& installDir, const ExtractionHooks& hooks);
