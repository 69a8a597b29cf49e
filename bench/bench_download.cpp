// Times the launcher's own download of one address into a file.
//   quarvel-bench-download URL PATH [RECEIVE_BUFFER_BYTES | hash | continue]   ->   "seconds bytes [drops]"
// With a buffer size, the same transfer also sets libcurl's receive buffer: an option the
// launcher does not set, timed only to show where the difference to the curl command lies.
// With "hash", the package's digest is taken on the way, as a launcher built with a key does.
// With "continue", it is the package download of a launcher built with a key: hashed, kept
// as PATH.part, and continued after each drop, 1 s later; the drops are counted.
#include "package/CurlPtr.h"
#include "package/Download.h"
#include "package/Resume.h"
#include "platform/Platform.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

bool fetchWithReceiveBuffer(const char* url, const char* path, long bufferBytes) {
  CurlPtr handle(curl_easy_init());
  FilePtr file(std::fopen(path, "wb"));
  if (!handle || !file) return false;
  curl_easy_setopt(handle.get(), CURLOPT_URL, url);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, file.get());
  curl_easy_setopt(handle.get(), CURLOPT_BUFFERSIZE, bufferBytes);
  return curl_easy_perform(handle.get()) == CURLE_OK;
}

struct DropCount final : Report {
  void addLine(const std::string&) override {}
  void replaceLine(const std::string&) override {}
  void detail(const std::string&) override { ++drops; }
  bool stopRequested() const override { return false; }
  void pause(Milliseconds) override {}
  int drops = 0;
};

int continuing(const char* url, const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  signing::FileHasher hasher;
  DropCount report;
  const FilePtr part(platform::openForDownload(partialName(path)));
  const Transfer transfer = fetchContinuing(url, part.get(), path, {&hasher}, report);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (transfer.code != CURLE_OK) return 1;
  std::cout << took.count() << " " << platform::fileSizeLow32(partialName(path)).value_or(0) << " " << report.drops << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: " << argv[0] << " URL PATH [RECEIVE_BUFFER_BYTES]" << std::endl;
    return 2;
  }
  if (argc == 4 && std::string(argv[3]) == "continue") return continuing(argv[1], argv[2]);
  const auto start = std::chrono::steady_clock::now();
  signing::FileHasher hasher;
  const bool hashing = argc == 4 && std::string(argv[3]) == "hash";
  const bool done = argc == 4 && !hashing ? fetchWithReceiveBuffer(argv[1], argv[2], std::atol(argv[3]))
                                          : fetchToFile(argv[1], argv[2], {hashing ? &hasher : nullptr}).result == FetchResult::Done;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (!done) return 1;
  std::cout << took.count() << " " << platform::fileSizeLow32(argv[2]).value_or(0) << std::endl;
  return 0;
}
