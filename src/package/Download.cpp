#include "package/Download.h"

#include "app/Launcher.h"
#include "package/CurlPtr.h"

#include <atomic>

namespace {

std::atomic<bool> transfersCancelled{false};

}  // namespace

void cancelTransfers() { transfersCancelled.store(true); }
void allowTransfers() { transfersCancelled.store(false); }

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file) {
  if (transfersCancelled.load(std::memory_order_relaxed)) return 0;
  return std::fwrite(data, size, count, static_cast<std::FILE*>(file));
}

namespace {

struct HashedFile {
  std::FILE* file;
  signing::FileHasher* hasher;
};

// The digest covers exactly the bytes that reached the file.
std::size_t writeAndHash(char* data, std::size_t size, std::size_t count, void* target) {
  const auto* hashed = static_cast<HashedFile*>(target);
  const std::size_t written = writeToFile(data, size, count, hashed->file);
  hashed->hasher->update(data, written * size);
  return written;
}

}  // namespace

FetchResult fetchToFile(const char* url, const char* path, signing::FileHasher* hasher) {
  CurlPtr handle(curl_easy_init());
  if (!handle) return FetchResult::NoHandle;
  // The transfer is never handed a file that did not open.
  FilePtr file(std::fopen(path, "wb"));
  if (!file) return FetchResult::CannotWrite;
  HashedFile hashed{file.get(), hasher};
  curl_easy_setopt(handle.get(), CURLOPT_URL, url);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, hasher ? writeAndHash : writeToFile);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, hasher ? static_cast<void*>(&hashed) : file.get());
  curl_easy_perform(handle.get());
  handle.reset();
  file.reset();
  return FetchResult::Done;
}

void Launcher::downloadFile(const char* url, const char* path, signing::FileHasher* hasher) {
  // Once shutdown has begun no new transfer starts: one that stalls could not be stopped.
  if (stopRequested()) return;
  switch (fetchToFile(url, path, hasher)) {
    case FetchResult::Done: break;
    case FetchResult::NoHandle: addLogLine("Failed to download file (failed to initialise CURL)."); break;
    // The caller then finds no file, or the old one, and reports what that means.
    case FetchResult::CannotWrite:
      addLogLine(std::string("Failed to download file (could not write ") + path + ").");
      break;
  }
}
