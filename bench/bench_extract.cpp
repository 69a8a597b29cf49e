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
  struct Timing final : Report {
    void addLine(const std::string& line) override {
      aborted |= line == "    Aborting extraction.";
      doneLine = Clock::now();
    }
    void replaceLine(const std::string&) override { ++entries; }
    void detail(const std::string&) override {}
    bool stopRequested() const override {
      lastStep = Clock::now();
      return false;
    }
    void pause(Milliseconds) override {}
    int entries = 0;
    bool aborted = false;
    mutable Clock::time_point lastStep;
    Clock::time_point doneLine;
  } timing;
  const ExtractionHooks hooks{timing};
  const auto start = Clock::now();
  const bool done = extractArchive(argv[1], argv[2], hooks);
  const std::chrono::duration<double> took = Clock::now() - start;
  if (!done || timing.aborted) {
    std::cerr << "extraction failed" << std::endl;
    return 1;
  }
  const std::chrono::duration<double> flush = timing.doneLine - timing.lastStep;
  std::cout << took.count() << " " << timing.entries << " " << flush.count() << std::endl;
  return 0;
}
