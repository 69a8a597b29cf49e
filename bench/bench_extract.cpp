// Times the launcher's own extraction of one package into a fresh folder, without the
// 5 ms pause per entry (it is reported apart so that a script can add it back), and the
// flush to disk on its own: the time from the last entry's last step to "    Done.".
//   quarvel-bench-extract PACKAGE INSTALL_DIR   ->   "seconds entries flush_seconds"
#include "package/Package.h"

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " PACKAGE INSTALL_DIR" << std::endl;
    return 2;
  }
  using Clock = std::chrono::steady_clock;
  int entries = 0;
  bool aborted = false;
  Clock::time_point lastStep, doneLine;
  const ExtractionHooks hooks{[&](const std::string& line) {
                                aborted |= line == "    Aborting extraction.";
                                doneLine = Clock::now();
                              },
                              [&entries](const std::string&) { ++entries; }, [](Milliseconds) {},
                              [&lastStep] {
                                lastStep = Clock::now();
                                return false;
                              }};
  const auto start = Clock::now();
  const bool done = extractArchive(argv[1], argv[2], hooks);
  const std::chrono::duration<double> took = Clock::now() - start;
  if (!done || aborted) {
    std::cerr << "extraction failed" << std::endl;
    return 1;
  }
  const std::chrono::duration<double> flush = doneLine - lastStep;
  std::cout << took.count() << " " << entries << " " << flush.count() << std::endl;
  return 0;
}
