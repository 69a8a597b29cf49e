// The frame loop's cost, in a real window (run it under Xvfb):
//   quarvel-bench-frames render LINES FRAMES   ->  CPU milliseconds per frame
//   quarvel-bench-frames idle LINES SECONDS    ->  share of one core used by the running loop
//   quarvel-bench-frames startup               ->  milliseconds from process start to the first frame
// Run it in a folder holding the launcher's assets; nothing is fetched (its server
// address is one that refuses at once).
#include "app/FrameLoop.h"
#include "app/Launcher.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Seconds since the process started, from the kernel's record of its start.
double secondsSinceProcessStart() {
  std::ifstream statFile("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(statFile)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;  // field 22 is the start time in clock ticks
  std::ifstream uptimeFile("/proc/uptime");
  double uptime = 0;
  uptimeFile >> uptime;
  return uptime - std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void fillLog(Launcher& launcher, int lines) {
  for (int i = 0; i < lines; ++i)
    launcher.addLogLine("    Extracting file " + std::to_string(i + 1) + " / 500 (0%): Quarvel/data/level.dat");
}

int renderCost(int lines, int frames) {
  Launcher launcher{"127.0.0.1:1/"};
  fillLog(launcher, lines);
  launcher.render();
  const double before = cpuSeconds();
  for (int i = 0; i < frames; ++i) launcher.render();
  std::cout << (cpuSeconds() - before) * 1000.0 / frames << std::endl;
  return 0;
}

int idleCost(int lines, int seconds) {
  Launcher launcher{"127.0.0.1:1/"};
  fillLog(launcher, lines);
  std::thread quit([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.keysym.sym = SDLK_q;
    SDL_PushEvent(&event);
  });
  const double before = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  runFrameLoop(launcher);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  quit.join();
  launcher.requestStop();
  launcher.waitForWorkers(Milliseconds(1000));
  std::cout << (cpuSeconds() - before) / wall.count() * 100.0 << std::endl;
  return 0;
}

int startup() {
  Launcher launcher{"127.0.0.1:1/"};
  // The frame loop's first pass: one period of pacing, then input, stages and drawing.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  launcher.handleEvents();
  launcher.update();
  launcher.render();
  std::cout << secondsSinceProcessStart() * 1000.0 << std::endl;
  launcher.requestStop();
  launcher.waitForWorkers(Milliseconds(1000));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "render" && argc == 4) return renderCost(std::stoi(argv[2]), std::stoi(argv[3]));
  if (mode == "idle" && argc == 4) return idleCost(std::stoi(argv[2]), std::stoi(argv[3]));
  if (mode == "startup") return startup();
  std::cerr << "usage: " << argv[0] << " render LINES FRAMES | idle LINES SECONDS | startup" << std::endl;
  return 2;
}
