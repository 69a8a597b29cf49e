#pragma once

#include "base/Report.h"
#include "base/StopToken.h"
#include "package/Signature.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// libcurl's write callback: the data goes straight into the FILE* of the transfer.
std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file);

// The host of a URL as libcurl reads it (no brackets around an IPv6 address); empty
// when it has none.
std::string hostOf(const std::string& url);

// The launcher's request for url, which the publisher's --check makes the same way: the
// protocol is HTTP where the address names none (libcurl would guess one from a host name
// such as "ftp.example.com"), only HTTP and HTTPS are ever spoken, a certificate's
// revocation is checked on a best-effort basis, and libcurl's words on a failure go into
// error (CURL_ERROR_SIZE bytes). libcurl's defaults hold for the rest: no redirect is followed.
void setUpRequest(void* curlHandle, const char* url, char* error);

enum class FetchResult { Done, NoHandle, CannotWrite };

struct Transfer {
  FetchResult result;
  // For the log file: libcurl's result code and words, the HTTP status, the bytes and
  // the time; or why no transfer was made.
  std::string summary;
  // The system's words when a write, the last flush or the close of the file failed.
  std::string writeFailure = {};
  bool progressShown = false;  // a progress line was added, which the caller's next line replaces
};

// What a transfer tells and asks on its way, all optional.
struct TransferHooks {
  signing::FileHasher* hasher = nullptr;  // fed every byte written to the file
  const StopToken* stop = nullptr;        // ends the transfer within a second, data or not
  Report* progress = nullptr;             // shown a running progress line, added first, then rewritten
  long stallSeconds = 30;                 // a transfer that gets no byte for this long ends
};

// Fetches url into an open file with libcurl's defaults: no redirect followed, an error
// page kept like any body. Done means only that a transfer was made, not that it worked.
// The connection must be made within 15 s. The file is flushed, not closed.
Transfer fetchInto(const char* url, std::FILE* file, const TransferHooks& hooks = {});
// The same into a file created at path and closed afterwards.
Transfer fetchToFile(const char* url, const char* path, const TransferHooks& hooks = {});

// The running line of a transfer that has brought now bytes of total (0: not known) in
// seconds, such as "    Downloaded 312 / 1,027 MiB (30 %), 6.1 MiB/s, about 2 min left".
std::string progressText(std::int64_t now, std::int64_t total, double seconds);

// Removes from the working folder what earlier updates downloaded: the packages and patches
// ("quarvel LINE.zip", "quarvel LINE patch from OLD.zip") of every build but the one of
// line, which the installed build's update left. Returns the names it removed.
std::vector<std::string> removeEarlierDownloads(const std::string& line);
