// Times the launcher's own extraction of one package into a fresh folder, without the
// 5 ms pause per entry (it is reported apart so that a script can add it back).
//   quarvel-bench-extract PACKAGE INSTALL_DIR   ->   "seconds entries"
#include "package/Package.h"

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " PACKAGE INSTALL_DIR" << std::endl;
    return 2;
  }
  int entries = 0;
  bool aborted = false;
  const ExtractionHooks hooks{[&aborted](const std::string& line) { aborted |= line == "    Aborting extraction."; },
                              [&entries](const std::string&) { ++entries; }, [](Milliseconds) {},
                              [] { return false; }};
  const auto start = std::chrono::steady_clock::now();
  const bool done = extractArchive(argv[1], argv[2], hooks);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (!done || aborted) {
    std::cerr << "extraction failed" << std::endl;
    return 1;
  }
  std::cout << took.count() << " " << entries << std::endl;
  return 0;
}
