#include "app/FrameLoop.h"

#include "app/Launcher.h"

#include <thread>

namespace {

// A monotonic clock: setting the wall clock neither stalls the window nor causes a
// burst of frames.
Ticks clockNow() { return std::chrono::duration_cast<Ticks>(std::chrono::steady_clock::now().time_since_epoch()); }

}  // namespace

Ticks framePause(Ticks& lastFrameTime, Ticks now, Ticks frameDuration) {
  const Ticks elapsed = now - lastFrameTime;
  lastFrameTime += frameDuration;
  return elapsed < frameDuration ? frameDuration - elapsed : Ticks::zero();
}

void runFrameLoop(Launcher& launcher) {
  static const Ticks frameDuration = std::chrono::milliseconds(50);
  static Ticks lastFrameTime = clockNow();
  for (;;) {
    const Ticks pause = framePause(lastFrameTime, clockNow(), frameDuration);
    if (pause > Ticks::zero()) std::this_thread::sleep_until(std::chrono::steady_clock::now() + pause);
    if (!launcher.handleEvents()) return;
    launcher.update();
    launcher.render();
    launcher.frameShown();
  }
}
