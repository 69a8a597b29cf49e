#pragma once

#include <filesystem>
#include <string>

// Makes toDir serve what fromDir serves: each published file that toDir lacks or holds with
// other contents is copied under a temporary name, flushed and renamed into place, and
// latest_version.txt comes last, so toDir never announces a file it does not hold whole.
// Nothing in toDir is removed. Returns the line that reports what was done.
std::string mirror(const std::filesystem::path& fromDir, const std::filesystem::path& toDir);
