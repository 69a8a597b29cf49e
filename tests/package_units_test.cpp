#include "package/Package.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

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
  EXPECT_EQ(progressLine(3, 8, "Top/details/a.dll"), "    Extracting file 3 / 8 (38%): Top/details/a.dll");

  EXPECT_EQ(downloadedSizeLine(1048575), "    Downloaded 0 MiB.");
  EXPECT_EQ(downloadedSizeLine(5000000), "    Downloaded 4 MiB.");  // whole MiB, remainder dropped
  // The largest low-32-bit size still prints as plain digits, not in exponent form.
  EXPECT_EQ(downloadedSizeLine(0xFFFFFFFFu), "    Downloaded 4095 MiB.");
}

}  // namespace
