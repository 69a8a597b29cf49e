#include "app/FrameLoop.h"
#include "app/Launcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using std::chrono::milliseconds;

constexpr Ticks period = milliseconds(50);

// Feeds the pacing a sequence of frame costs and returns the pause before each frame.
std::vector<Ticks> pausesFor(const std::vector<milliseconds>& frameCosts) {
  Ticks now{0};
  Ticks last = now;
  std::vector<Ticks> pauses;
  for (milliseconds cost : frameCosts) {
    const Ticks pause = framePause(last, now, period);
    pauses.push_back(pause);
    now += pause + cost;
  }
  return pauses;
}

TEST(FramePacing, FirstFrameWaitsOnePeriod) { EXPECT_EQ(pausesFor({milliseconds(0)})[0], period); }

TEST(FramePacing, ExactlyOnePeriodElapsedDoesNotSleep) {
  Ticks last{0};
  EXPECT_EQ(framePause(last, period, period), Ticks::zero());
  EXPECT_EQ(last, period);
}

TEST(FramePacing, LateFrameIsCaughtUpOnTheGrid) {
  // A frame of 180 ms: three passes follow at once, the fourth sleeps 20 ms.
  const auto pauses = pausesFor(
      {milliseconds(180), milliseconds(0), milliseconds(0), milliseconds(0), milliseconds(0), milliseconds(0)});
  const std::vector<Ticks> expected{period, Ticks::zero(), Ticks::zero(), Ticks::zero(), milliseconds(20), period};
  EXPECT_EQ(pauses, expected);
}

TEST(FramePacing, LongStallRunsAllMissedPasses) {
  std::vector<milliseconds> costs{milliseconds(1000)};
  costs.resize(25, milliseconds(0));
  const auto pauses = pausesFor(costs);
  int backToBack = 0;
  for (std::size_t i = 1; i < pauses.size() && pauses[i] == Ticks::zero(); ++i) ++backToBack;
  EXPECT_EQ(backToBack, 20);
  EXPECT_EQ(pauses[21], period);
}

TEST(SleepFor, ZeroOrNegativeReturnsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  sleepFor(Milliseconds(0));
  sleepFor(Milliseconds(-1000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(100));
}

}  // namespace
