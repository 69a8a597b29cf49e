#pragma once

#include "base/Report.h"
#include "base/StopToken.h"
#include "package/CurlPtr.h"
#include "package/Signature.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// libcurl's write callback: the data goes straight into the FILE* of the transfer.
std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file);

// The host of a URL as libcurl reads it (no brackets around an IPv6 address); empty
// when it has none.
std::string hostOf(const std::string& url);

// The addresses of a server list as the studio builds it in, separated by commas, in the order
// they are tried: a second host serves whenever the first does not answer.
std::vector<std::string> serverAddresses(std::string_view list);

// The launcher's request for url, which the publisher's --check makes the same way: the
// protocol is HTTP where the address names none (libcurl would guess one from a host name
// such as "ftp.example.com"), only HTTP and HTTPS are ever spoken, a certificate's
// revocation is checked on a best-effort basis, and libcurl's words on a failure go into
// error (CURL_ERROR_SIZE bytes). The player's proxy settings are used. libcurl's defaults
// hold for the rest: no redirect is followed. Returns the proxy in words, for the log file;
// empty for a direct connection.
std::string setUpRequest(void* curlHandle, const char* url, char* error);

// What an answer's headers say about continuing its file, as readResponseHeader (a libcurl
// header function) gathers them; each answer starts afresh (a proxy's to CONNECT comes first).
struct ResponseHeaders {
  std::string etag = {}, lastModified = {};
  std::int64_t rangeStart = -1;  // of a Content-Range
  // A weak ETag cannot condition a range: the date stands in for it then.
  std::string validator() const;
};
std::size_t readResponseHeader(char* data, std::size_t size, std::size_t count, void* headers);

enum class FetchResult { Done, NoHandle, CannotWrite };

struct Transfer {
  FetchResult result;
  // For the log file: libcurl's result code and words, the HTTP status, the bytes and
  // the time; or why no transfer was made.
  std::string summary;
  // The system's words when a write, the last flush or the close of the file failed.
  std::string writeFailure = {};
  bool progressShown = false;  // a progress line stands last, which the caller's next line replaces
  int code = 0;                // libcurl's result
  long status = 0;             // the answer's HTTP status, 0 without one
  // The answer to a continuation was neither the range asked for nor the whole file (a
  // range of another start, 416, 404): nothing of it was written, and the file is emptied.
  bool continuationRefused = false;
  bool stalled = false;  // ended for getting no byte within the stall limit
};

// Where a transfer continues a file that an earlier attempt left: from byte from, and only
// while the server's file is the one that validator (its ETag, else its date) names.
struct Continuation {
  std::int64_t from = 0;
  std::string validator = {};
};

// Asks for the file from byte continuation.from on (nothing for 0), while it is still the one
// its validator names (If-Range), when one is given; the headers must outlive the request.
SlistPtr requestContinuation(void* curlHandle, const Continuation& continuation);

// What a transfer tells and asks on its way, all optional.
struct TransferHooks {
  signing::FileHasher* hasher = nullptr;  // fed every byte written to the file
  const StopToken* stop = nullptr;        // ends the transfer within a second, data or not
  Report* progress = nullptr;             // shown a running progress line, added first, then rewritten
  bool progressStandsLast = false;        // the window's last line is a progress line: rewrite it from the start
  long stallSeconds = 30;                 // a transfer that gets no byte for this long ends
  Continuation continuation = {};         // from byte 0: the whole file, as always
  // Where the answer's validator is written before its first byte lands (removed when it has
  // none), so that a later start can continue the file.
  const char* validatorFile = nullptr;
};

// Fetches url into an open file with libcurl's defaults: no redirect followed, an error
// page kept like any body. Done means only that a transfer was made, not that it worked.
// The connection must be made within 15 s. The file is flushed, not closed. A continuation
// asks for the rest of the file from its end (the stream stands there, and the hasher has
// had the bytes before it); an answer of the whole file is written over it from byte zero.
Transfer fetchInto(const char* url, std::FILE* file, const TransferHooks& hooks = {});
// The same into a file created at path and closed afterwards.
Transfer fetchToFile(const char* url, const char* path, const TransferHooks& hooks = {});

// The running line of a transfer that has now bytes of total (0: not known) at a rate in
// bytes a second (0: not known yet), such as
// "    Downloaded 312 / 1,027 MiB (30 %), 6.1 MiB/s, about 2 min left".
std::string progressText(std::int64_t now, std::int64_t total, double rate);
