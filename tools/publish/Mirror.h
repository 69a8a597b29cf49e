#pragma once

#include <filesystem>
#include <string>

// Makes toDir serve what fromDir serves: each published file that toDir lacks is copied under
// a temporary name, flushed and renamed into place, and latest_version.txt, as read before
// the copies, comes last, so toDir never announces a file it does not hold whole. A file that
// toDir holds with other contents is refused unless force. Nothing in toDir is removed.
// Returns the line that reports what was done.
std::string mirror(const std::filesystem::path& fromDir, const std::filesystem::path& toDir, bool force);
