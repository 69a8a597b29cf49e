#include "app/FrameLoop.h"
#include "app/LogFile.h"
#include "package/Download.h"
#include "package/Package.h"
#include "support/TestSupport.h"
#include "version/VersionInfo.h"

#include <array>

namespace {

using ms = std::chrono::milliseconds;

// A frame of 180 ms on a 50 ms grid: three passes follow at once, the fourth sleeps 20 ms;
// a stall of a second runs all twenty missed passes back to back before the grid resumes.
TEST(FramePacing, LateFramesAreCaughtUpOnTheGrid) {
  std::vector<ms> stall(22, ms(0)), caughtUp(22, ms(0));
  stall[0] = ms(1000), caughtUp[0] = caughtUp[21] = ms(50);
  const std::pair<std::vector<ms>, std::vector<ms>> cases[] = {
      // each frame's cost, each pause before a frame
      {{ms(180), ms(0), ms(0), ms(0), ms(0), ms(0)}, {ms(50), ms(0), ms(0), ms(0), ms(20), ms(50)}},
      {stall, caughtUp}};
  for (const auto& [costs, expected] : cases) {
    Ticks now{0}, last{0};
    std::vector<ms> pauses;
    for (ms cost : costs) {
      pauses.push_back(std::chrono::duration_cast<ms>(framePause(last, now, ms(50))));
      now += pauses.back() + cost;
    }
    EXPECT_EQ(pauses, expected) << costs[0].count();
  }
}

TEST(VersionLine, YieldsVersionDateAndPackage) {
  // Month fields read like the standard string-to-int conversion; none at all, or one
  // outside 1 to 12, is an unnamed month. A blank becomes an underscore in the version.
  const std::array<std::string, 3> cases[] = {
      {"r7b.20180704", "r7b.20180704", "04 July, 2018"},
      {"1.0 20191215", "1.0_20191215", "15 December, 2019"},
      {"1.0 20193x15", "1.0_20193x15", "15 March, 2019"},
      {"1.0 2019 715", "1.0_2019_715", "15 <unknown month>, 2019"},
      {"1.0 2019031 ", "1.0_2019031_", "1_ March, 2019"},
  };
  for (const auto& [line, version, buildDate] : cases) {
    const auto record = parseVersionLine(line);
    ASSERT_TRUE(record) << line;
    EXPECT_EQ((std::array{record->version, record->buildDate, record->packageFile}),
              (std::array{version, buildDate, "quarvel " + line + ".zip"}));
  }
}

TEST(UnsafeTarget, DotDotAndAbsolutePathsAreRefused) {
  for (const char* bad : {"game/../x", "game/a/../../x", "game/..", "/etc/passwd", "game\\..\\x", "game/a\\..\\..\\x"})
    EXPECT_TRUE(isUnsafeTarget(bad)) << bad;
  for (const char* fine : {"game/", "game/a..b", "game/..hidden", "game/.", "game/details/Quarvel.exe", "game"})
    EXPECT_FALSE(isUnsafeTarget(fine)) << fine;
}

TEST(ProgressAndSizeLines, RoundingAndUnits) {
  EXPECT_EQ(progressPercent(1, 8), 13);  // halves round up
  EXPECT_EQ(progressPercent(1, 10000), 0);
  EXPECT_EQ(downloadedSizeLine(1048575), "    Downloaded 0 MiB.");  // whole MiB, remainder dropped
  // The largest low-32-bit size still prints as plain digits, not in exponent form.
  EXPECT_EQ(downloadedSizeLine(0xFFFFFFFFu), "    Downloaded 4095 MiB.");
  EXPECT_EQ(progressText(3LL << 20, 1027LL << 20, 3 << 20), "    Downloaded 3 / 1,027 MiB (0 %), 3.0 MiB/s, about 6 min left");
  EXPECT_EQ(progressText(5LL << 20, 0, 0), "    Downloaded 5 MiB");
}

// Of a run of progress lines the file keeps the first and the last; it stops short of its limit, however much comes;
// each start moves the last run's file aside, so there are never more than two.
TEST(LogFile, KeepsTheEndsOfProgressStaysBoundedAndKeepsOneEarlierRun) {
  WorkDir dir;
  {
    LogFile log("run.log");
    for (int i = 1; i <= 10000; ++i) log.progress("    Extracting file " + std::to_string(i) + " / 10000");
    log.line("    Done.");
    for (int i = 0; i < 20000; ++i) log.detail(std::string(100, 'x'));
  }
  const std::string first = dir.read("run.log");
  EXPECT_LE(first.size(), 1u << 20);
  EXPECT_GT(first.size(), (1u << 20) - 200);
  EXPECT_TRUE(first.ends_with("\n(the log stops here: it reached its limit)\n"));
  std::istringstream lines(first);
  Lines start(4);
  for (std::string& line : start) std::getline(lines, line), line = line.substr(25);
  EXPECT_EQ(start, (Lines{"    Extracting file 1 / 10000", "    Extracting file 10000 / 10000", "    Done.",
                          "| " + std::string(100, 'x')}));

  for (const char* run : {"second run", "third run"}) LogFile("run.log").line(run);
  EXPECT_EQ(dir.read("run.log").substr(25), "third run\n");
  EXPECT_EQ(dir.read("run.log.1").substr(25), "second run\n");
  EXPECT_FALSE(dir.exists("run.log.2"));

  // When the earlier file cannot be moved aside (here a folder has taken its place), this run goes after it.
  fs::remove("run.log.1");
  dir.write("run.log.1/kept", "kept");
  LogFile("run.log").line("fourth run");
  const std::string appended = dir.read("run.log");
  EXPECT_EQ(appended.substr(25, 10) + appended.substr(appended.find('\n') + 26), "third run\nfourth run\n");
}

}  // namespace
