#include "app/FrameLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using ms = std::chrono::milliseconds;

TEST(FramePacing, LateFramesAreCaughtUpOnTheGrid) {
  constexpr Ticks period = ms(50);
  struct Case {
    const char* what;
    std::vector<ms> costs;      // how long each frame took
    std::vector<Ticks> pauses;  // the pause before each frame
  };
  std::vector<Case> cases = {
      {"exactly one period elapsed does not sleep", {ms(50), ms(0)}, {period, Ticks::zero()}},
      // A frame of 180 ms: three passes follow at once, the fourth sleeps 20 ms.
      {"late frame",
       {ms(180), ms(0), ms(0), ms(0), ms(0), ms(0)},
       {period, Ticks::zero(), Ticks::zero(), Ticks::zero(), ms(20), period}},
      {"long stall runs every missed pass", {ms(1000)}, {period}},
  };
  cases[2].costs.resize(22, ms(0));
  cases[2].pauses.resize(21, Ticks::zero());  // twenty back-to-back passes...
  cases[2].pauses.push_back(period);          // ...then the grid again
  for (const Case& c : cases) {
    Ticks now{0}, last{0};
    std::vector<Ticks> pauses;
    for (ms cost : c.costs) {
      pauses.push_back(framePause(last, now, period));
      now += pauses.back() + cost;
    }
    EXPECT_EQ(pauses, c.pauses) << c.what;
  }
}

}  // namespace
