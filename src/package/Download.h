#pragma once

#include "base/StopToken.h"
#include "package/Signature.h"

#include <cstddef>
#include <string>

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
};

// Fetches url into an open file with libcurl's defaults: no redirect followed, an error
// page kept like any body. Done means only that a transfer was made, not that it worked.
// With a hasher, every byte written to the file is fed to it as well. The file is
// flushed, not closed. A stop requested while data arrives ends the transfer there (a short
// count from the write callback makes libcurl end it).
Transfer fetchInto(const char* url, std::FILE* file, signing::FileHasher* hasher = nullptr,
                   const StopToken* stop = nullptr);
// The same into a file created at path and closed afterwards.
Transfer fetchToFile(const char* url, const char* path, signing::FileHasher* hasher = nullptr,
                     const StopToken* stop = nullptr);
