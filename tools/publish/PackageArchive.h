#pragma once

#include "BuildTree.h"

#include <filesystem>
#include <vector>

// Writes the entries, deflated and with their Unix modes, to a new archive at path.
void writePackage(const std::filesystem::path& path, const std::vector<PlannedEntry>& entries);

// True when the archive at path holds exactly these entries: the same names in the
// same order, the same modes and the same data. Timestamps do not count.
// Unpacks a package this tool wrote into the folder into, its top folder's contents
// becoming into's, with their modes.
void unpackPackage(const std::filesystem::path& path, const std::filesystem::path& into);

bool holdsSameEntries(const std::filesystem::path& path, const std::vector<PlannedEntry>& entries);
