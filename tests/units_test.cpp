#include "app/FrameLoop.h"
#include "package/Package.h"
#include "version/VersionInfo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

// The launcher's pure functions: frame pacing, the version line, target paths and log lines.
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

TEST(VersionLine, YieldsVersionDateAndPackage) {
  struct Case {
    std::string line, version, buildDate;
  };
  const Case cases[] = {
      {"1.0 20190315", "1.0_20190315", "15 March, 2019"},
      {"r7b.20180704", "r7b.20180704", "04 July, 2018"},
      // Month numbers outside 1 to 12, and month texts read like the standard conversion.
      {"1.0 20191315", "1.0_20191315", "15 <unknown month>, 2019"},
      {"1.0 2019-115", "1.0_2019-115", "15 <unknown month>, 2019"},
      {"1.0 20193x15", "1.0_20193x15", "15 March, 2019"},
      {"1.0 2019\t915", "1.0_2019\t915", "15 September, 2019"},
      // No number at all (the blank became an underscore): an unnamed month.
      {"1.0 2019 715", "1.0_2019_715", "15 <unknown month>, 2019"},
      // A blank in the day becomes an underscore in the date, but stays in the file name.
      {"1.0 2019031 ", "1.0_2019031_", "1_ March, 2019"},
  };
  for (const Case& c : cases) {
    const auto record = parseVersionLine(c.line);
    ASSERT_TRUE(record) << c.line;
    EXPECT_EQ(record->version, c.version);
    EXPECT_EQ(record->buildDate, c.buildDate);
    EXPECT_EQ(record->packageFile, "quarvel " + c.line + ".zip");
  }
}

TEST(UnsafeTarget, DotDotAndAbsolutePathsAreRefused) {
  for (const char* bad : {"game/../x", "game/a/../../x", "game/..", "/etc/passwd", "game\\..\\x", "game/a\\..\\..\\x"})
    EXPECT_TRUE(isUnsafeTarget(bad)) << bad;
  for (const char* fine : {"game/", "game/a..b", "game/..hidden", "game/.", "game/details/Quarvel.exe", "game"})
    EXPECT_FALSE(isUnsafeTarget(fine)) << fine;
}

TEST(ProgressAndSizeLines, RoundingAndUnits) {
  std::vector<int> eighths;
  for (int k = 1; k <= 8; ++k) eighths.push_back(progressPercent(k, 8));
  EXPECT_EQ(eighths, (std::vector<int>{13, 25, 38, 50, 63, 75, 88, 100}));  // halves round up
  EXPECT_EQ(progressPercent(1, 3), 33);
  EXPECT_EQ(progressPercent(2, 3), 67);
  EXPECT_EQ(progressPercent(1, 10000), 0);

  EXPECT_EQ(downloadedSizeLine(1048575), "    Downloaded 0 MiB.");
  EXPECT_EQ(downloadedSizeLine(5000000), "    Downloaded 4 MiB.");  // whole MiB, remainder dropped
  // The largest low-32-bit size still prints as plain digits, not in exponent form.
  EXPECT_EQ(downloadedSizeLine(0xFFFFFFFFu), "    Downloaded 4095 MiB.");
}

}  // namespace
