#pragma once

#include <filesystem>

// Writes to out a zstd frame that rebuilds newFile from oldFile: the old file is the
// window the frame refers back into (long-distance matching, a window that covers the
// file), so content that moved within a large archive file costs almost nothing.
void writeDelta(const std::filesystem::path& oldFile, const std::filesystem::path& newFile,
                const std::filesystem::path& out, int level);
