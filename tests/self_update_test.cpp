// The launcher replacing its own files with the one a build carries, in process, with the real launcher
// program of this build as the carried one (its self-check runs for real). The end-to-end runs cover kills,
// Windows and the window; these rows are what the power-cut replay traces.
#include "app/BuildSettings.h"
#include "app/SelfUpdate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

struct SelfUpdateRun {
  WorkDir dir;
  Lines lines, details;
  SelfUpdateContext context{dir.path().string(),
                            (dir.path() / launcherProgramName()).string(),
                            "0.0.1",
                            [this](const std::string& line) { lines.push_back(line); },
                            [this](const std::string& line) { details.push_back(line); },
                            [] { return false; },
                            -1};

  // game/launcher/<system>/: this build's launcher, the assets and the version file saying version.
  explicit SelfUpdateRun(const std::string& version = launcherVersion()) {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the self-check's SDL keeps a few allocations to the end
    const fs::path carried = carriedLauncherFolder("game");
    fs::create_directories(carried);
    fs::copy(QUARVEL_LAUNCHER_BIN, carried / launcherProgramName());
    for (const auto& asset : fs::directory_iterator(QUARVEL_ASSET_DIR)) fs::copy(asset.path(), carried / asset.path().filename());
    dir.write(carried / launcherVersionFileName, formatLauncherVersion(version));
    dir.write(launcherProgramName(), "the previous launcher");
    dir.write("launch.png", "the previous button");
  }
  std::string file(const std::string& name) const { return dir.read(name); }
};

}  // namespace

TEST(SelfUpdate, ReplacesTheLauncherKeepsThePreviousUntilItsFirstFrame) {
  SelfUpdateRun run;
  updateLauncherFrom("game", run.context);
  const fs::path carried = carriedLauncherFolder("game");
  EXPECT_EQ(run.file(launcherProgramName()), slurp(carried / launcherProgramName()));
  EXPECT_EQ(run.file("launch.png"), slurp(carried / "launch.png"));
  EXPECT_EQ(run.file(std::string(launcherProgramName()) + previousSuffix), "the previous launcher");
  EXPECT_FALSE(run.dir.exists(std::string("launch.png") + nextSuffix));
  EXPECT_EQ(run.lines, Lines{"The launcher was updated to version " + std::string(launcherVersion()) +
                             "; the new one starts next time."});

  // The previous launcher confirms nothing; the new one, once it has drawn, clears what was kept.
  confirmLauncherStarted(run.context);
  EXPECT_TRUE(run.dir.exists(launcherSwapRecordName));
  run.context.ownVersion = launcherVersion();
  confirmLauncherStarted(run.context);
  EXPECT_FALSE(run.dir.exists(launcherSwapRecordName));
  EXPECT_FALSE(run.dir.exists(std::string(launcherProgramName()) + previousSuffix));
  EXPECT_NE(run.file(launcherFilesName).find(std::string("file ") + launcherProgramName() + "\n"), std::string::npos);
}

// A version file that does not match the program it sits beside: the self-check says so, nothing is
// replaced, and the version is not tried again.
TEST(SelfUpdate, AFailedSelfCheckChangesNothingAndIsNotRetried) {
  SelfUpdateRun run("7.0.0");
  updateLauncherFrom("game", run.context);
  EXPECT_EQ(run.file(launcherProgramName()), "the previous launcher");
  EXPECT_EQ(run.file("launch.png"), "the previous button");
  EXPECT_FALSE(run.dir.exists(launcherSwapRecordName));
  EXPECT_TRUE(run.lines.empty());
  ASSERT_EQ(run.details.size(), 1u);
  EXPECT_NE(run.details[0].find("launcher 7.0.0 is not installed: its self-check ended with status 3"), std::string::npos);
  run.details.clear();
  updateLauncherFrom("game", run.context);
  EXPECT_TRUE(run.details.empty());
}

TEST(SelfUpdate, VersionsCompareAsNumbers) {
  EXPECT_TRUE(isNewerVersion("1.10.0", "1.9.0"));
  EXPECT_TRUE(isNewerVersion("1.0.1", "1.0"));
  EXPECT_FALSE(isNewerVersion("1.9.0", "1.10.0"));
  EXPECT_FALSE(isNewerVersion("1.2.0", "1.2.0"));
  EXPECT_FALSE(isNewerVersion("2.0.0-beta", "1.0.0"));  // not dotted numbers: never newer
  EXPECT_FALSE(isNewerVersion("2..0", "1.0.0"));
  EXPECT_EQ(parseLauncherVersion("quarvel launcher 0.2.0\n"), "0.2.0");
  EXPECT_EQ(parseLauncherVersion("quarvel launcher 0.2.0 and more"), std::nullopt);
}
