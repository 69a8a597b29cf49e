// Times the launcher's own download of one address into a file.
//   quarvel-bench-download URL PATH   ->   "seconds bytes"
#include "package/Download.h"
#include "platform/Platform.h"

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " URL PATH" << std::endl;
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const FetchResult result = fetchToFile(argv[1], argv[2]);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (result != FetchResult::Done) return 1;
  std::cout << took.count() << " " << platform::fileSizeLow32(argv[2]).value_or(0) << std::endl;
  return 0;
}
