#pragma once

#include <chrono>
#include <cstdint>

class Launcher;

// The pacing clock counts in 100 ns ticks.
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

// One step of the fixed-rate pacing: how long to sleep before this frame, given the
// clock's reading. lastFrameTime advances by exactly one period on every call, so a
// late frame is caught up by the following ones instead of moving the grid.
Ticks framePause(Ticks& lastFrameTime, Ticks now, Ticks frameDuration);

// Runs frames every 50 ms until the player asks to quit.
void runFrameLoop(Launcher& launcher);
