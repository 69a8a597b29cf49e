#pragma once

#include "BuildTree.h"

#include <filesystem>
#include <vector>

// Writes the entries, deflated and with their Unix modes, to a new archive at path.
void writePackage(const std::filesystem::path& path, const std::vector<PlannedEntry>& entries);

// True when the archive at path holds exactly these entries: the same names in the
// same order, the same modes and the same data. Timestamps do not count.
bool holdsSameEntries(const std::filesystem::path& path, const std::vector<PlannedEntry>& entries);
