#pragma once
// The room an update takes on the disk, counted before anything is written, so that a full
// disk stops it before the first file rather than half way.
#include <zip.h>

#include <cstdint>
#include <string>

// What writing size bytes to target adds to the disk, in whole blocks, less what a file
// there holds already.
std::uint64_t bytesAdded(const std::string& target, std::uint64_t size);
std::uint64_t addCapped(std::uint64_t total, std::uint64_t more);
// Empty when need bytes fit on the install directory's file system, else the line that
// says how much is missing.
std::string diskSpaceShortage(std::uint64_t need, const std::string& installDir);
// What the package's n entries add to the disk below installDir; a name stored twice leaves
// one file, so each target counts once.
std::uint64_t packageBytesNeeded(zip_t* archive, std::int64_t n, const std::string& installDir);
