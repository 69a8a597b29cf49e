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

namespace {

// One pass on the grid: events, the sequencer, a frame. False once the player quit.
bool framePass(Launcher& launcher, Ticks& lastFrameTime, Ticks frameDuration) {
  const Ticks pause = framePause(lastFrameTime, clockNow(), frameDuration);
  if (pause > Ticks::zero()) std::this_thread::sleep_until(std::chrono::steady_clock::now() + pause);
  if (!launcher.handleEvents()) return false;
  launcher.update();
  launcher.render();
  return true;
}

}  // namespace

void runFrameLoop(Launcher& launcher) {
  // Set when the loop starts; the loop runs once per process, so they need not outlive it.
  const Ticks frameDuration = std::chrono::milliseconds(50);
  Ticks lastFrameTime = clockNow();
  if (!framePass(launcher, lastFrameTime, frameDuration)) return;
  launcher.firstFrameShown();
  while (framePass(launcher, lastFrameTime, frameDuration)) {
  }
}
