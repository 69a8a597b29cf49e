#pragma once
// The steps that the extraction of a package and the application of a patch share.
#include "package/Package.h"
#include "package/ZipPtr.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

inline constexpr std::size_t readBufferSize = 1000000;
inline constexpr Milliseconds entryPause{5};

// An archive read through a stream of its own over the package's open file. libzip reads
// an entry a few KiB at a time and seeks before each read; with the C library's default
// buffer that cost two system calls per 8 KiB, about a third of the extraction's time.
struct OpenedArchive {
  std::unique_ptr<char[]> readBuffer;  // declared first: it outlives the stream that uses it
  ZipPtr zip;
};
inline constexpr std::size_t archiveBufferSize = 1 << 20;

// Opens the archive through the open file itself, never by its name; the package stays
// the caller's. A null zip on failure, with error set.
OpenedArchive openArchive(const FilePtr& package, zip_error_t& error);

bool passesThroughSymlink(const std::string& target, const std::string& installDir);

enum class CopyResult { Copied, Dropped, OpenFailed, ReadFailed, WriteFailed, Interrupted };
// Writes one entry of the archive to target through buffer (readBufferSize bytes).
// Dropped: target could not be created (the system's words in dropWords).
CopyResult copyEntry(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, const std::string& target,
                     char* buffer, const ExtractionHooks& hooks, std::string* dropWords = nullptr);

// Whether target names a folder (it ends in "/"); the target without that "/", and the
// folder that holds it.
bool isDirectoryTarget(const std::string& target);
std::string pathOf(const std::string& target);
std::string folderOf(const std::string& target);
// Removes what stands at target in the installed build's other shape (a folder where a file
// goes, or the reverse); the system's words when that fails.
std::optional<std::string> makeRoomFor(const std::string& target, const std::string& installDir);

// Says why in the log (the system's words in the log file alone) and that the extraction
// stops; always false.
bool abortExtraction(const ExtractionHooks& hooks, const std::string& reason, const std::string& systemWords = "");
