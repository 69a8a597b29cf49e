#pragma once

#include "package/Signature.h"

#include <cstddef>
#include <string>

// libcurl's write callback: the data goes straight into the FILE* of the transfer.
// A short count makes libcurl end the transfer, which is also how a transfer is
// cut short when the launcher shuts down.
std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file);

// Transfers are process-wide: the write callback only sees its FILE*, so shutdown
// reaches running transfers through this switch.
void cancelTransfers();
void allowTransfers();

enum class FetchResult { Done, NoHandle, CannotWrite };

struct Transfer {
  FetchResult result;
  // For the log file: libcurl's result code and words, the HTTP status, the bytes and
  // the time; or why no transfer was made.
  std::string summary;
};

// Fetches url into path with libcurl's defaults: no redirect followed, an error page
// kept like any body. Done means only that a transfer was made, not that it worked.
// With a hasher, every byte written to the file is fed to it as well.
Transfer fetchToFile(const char* url, const char* path, signing::FileHasher* hasher = nullptr);
