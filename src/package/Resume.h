#pragma once
// A package or patch download that survives a dropped connection and a launcher that ended
// half-way: the bytes that arrived are kept under a name of their own until they are whole.

#include "base/Duration.h"
#include "base/Report.h"
#include "package/Download.h"

#include <cstdio>
#include <string>
#include <vector>

// "quarvel LINE.zip.part": the bytes of file that have arrived so far.
std::string partialName(const std::string& file);
// "quarvel LINE.zip.part.validator": which of the server's files those bytes are of.
std::string validatorName(const std::string& file);

// Fetches url into part, the open partial download of file. The bytes it holds are continued
// when the validator kept beside them still names the server's file (they are hashed first);
// otherwise it starts from zero. A dropped attempt (a reset, a close before the announced
// length, a stall, no connection) is tried again from where it stopped, after a wait of
// firstWait that doubles with each drop in a row that brought no byte; the sixth such drop
// ends it, as does the hooks' stop, within a second even while waiting. Each drop is a line
// in the log file, and the window says once that the download goes on.
Transfer fetchContinuing(const char* url, std::FILE* part, const std::string& file, TransferHooks hooks,
                         Report& report, Milliseconds firstWait = Milliseconds(1000));

// Gives a whole download its own name, file, and drops its validator; false when the
// rename failed (the bytes stay where they are).
bool completeDownload(const std::string& file);

// Removes from the working folder what earlier updates downloaded: the packages and patches
// ("quarvel LINE.zip", "quarvel LINE patch from OLD.zip") of every build but the one of
// line, which the installed build's update left, and every partial download. Returns the
// names it removed.
std::vector<std::string> removeEarlierDownloads(const std::string& line);
