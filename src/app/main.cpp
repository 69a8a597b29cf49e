#include "app/FrameLoop.h"
#include "app/Launcher.h"

#include <cstdio>
#include <cstdlib>

namespace {

// How long shutdown waits for a stage to reach a point where it can stop. A
// transfer stalled inside the network library cannot be reached in time; then the
// process ends without tearing the launcher down under the blocked worker.
constexpr Milliseconds shutdownGrace{400};

}  // namespace

int main(int, char**) {
  Launcher launcher;
  runFrameLoop(launcher);
  launcher.requestStop();
  if (!launcher.waitForWorkers(shutdownGrace)) {
    // Only the version check's download can be blocked here; its file goes with it.
    std::remove(latestVersionDownload);
    std::_Exit(0);
  }
  return 0;
}
