// The launcher replacing its own files with the one a build carries, in process, with the real launcher
// program of this build as the carried one (its self-check runs for real): the row that the power-cut replay
// traces. The end-to-end runs cover kills, failed self-checks, Windows and the window.
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

  // game/launcher/<system>/: this build's launcher, the assets and its version file.
  SelfUpdateRun() {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the self-check's SDL keeps a few allocations to the end
    const fs::path carried = carriedLauncherFolder("game");
    fs::create_directories(carried);
    fs::copy(QUARVEL_LAUNCHER_BIN, carried / launcherProgramName());
    for (const auto& asset : fs::directory_iterator(QUARVEL_ASSET_DIR)) fs::copy(asset.path(), carried / asset.path().filename());
    dir.write(carried / launcherVersionFileName, formatLauncherVersion(launcherVersion()));
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
