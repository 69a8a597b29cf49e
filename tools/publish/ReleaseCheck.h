#pragma once

#include "Findings.h"
#include "package/Signature.h"

#include <filesystem>
#include <vector>

// What the version file at file says beyond its build, as launchers built with each key's
// signatures see it: a rollout under way, and how long the answer lives. An answer past its
// life is a problem (those launchers take it for none), one that ends within a week a note.
void checkRelease(const std::filesystem::path& file, const std::vector<std::vector<signing::TrustedSignature>>& signatures,
                  Findings& findings);
