// The launcher replacing its own files with the one a build carries, in process, with the real launcher
// program of this build as the carried one (its self-check runs for real): the row that the power-cut replay
// traces. The end-to-end runs cover kills, failed self-checks, Windows and the window.
#include "app/BuildSettings.h"
#include "selfupdate/SelfUpdate.h"
#include "support/TestSupport.h"

namespace {

struct SelfUpdateRun final : Recording {
  WorkDir dir;
  SelfUpdateContext context{dir.path().string(), (dir.path() / launcherProgramName()).string(), "0.0.1", *this};

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
};

}  // namespace

TEST(SelfUpdate, ReplacesTheLauncherKeepsThePreviousUntilItsFirstFrame) {
  SelfUpdateRun run;
  updateLauncherFrom("game", run.context);
  EXPECT_EQ(run.dir.read(std::string(launcherProgramName()) + previousSuffix), "the previous launcher");

  // The previous launcher confirms nothing; the new one, once it has drawn, clears what was kept.
  confirmLauncherStarted(run.context);
  EXPECT_TRUE(run.dir.exists(launcherSwapRecordName));
  run.context.ownVersion = launcherVersion();
  confirmLauncherStarted(run.context);
  EXPECT_FALSE(run.dir.exists(launcherSwapRecordName));
  EXPECT_FALSE(run.dir.exists(std::string(launcherProgramName()) + previousSuffix));
  EXPECT_NE(run.dir.read(launcherFilesName).find(std::string("file ") + launcherProgramName() + "\n"), std::string::npos);
}

// A launcher ended at each step of a replacement (every copy, every rename, each record): the next start finishes
// the replacement or starts it again, and once the new launcher has drawn, nothing of it is left.
TEST(SelfUpdate, TheNextStartFinishesAReplacementEndedAtAnyStep) {
  for (int step = 1, steps = 1; step <= steps; ++step) {
    SelfUpdateRun run;
    const std::vector<fs::directory_entry> files(fs::directory_iterator(carriedLauncherFolder("game")), {});
    steps = 2 * static_cast<int>(files.size()) + 3;  // the record, the copies, the record, the renames, the record
    run.context.stopAtStep = step;
    EXPECT_EXIT(updateLauncherFrom("game", run.context), testing::KilledBySignal(SIGKILL), "") << "step " << step;
    run.context.stopAtStep = -1;
    resumeLauncherUpdate(run.context);
    updateLauncherFrom("game", run.context);
    for (const fs::path& file : files) EXPECT_TRUE(run.dir.read(file.filename()) == slurp(file)) << "step " << step << ": " << file;
    run.context.ownVersion = launcherVersion();
    confirmLauncherStarted(run.context);
    for (const auto& entry : fs::directory_iterator(run.dir.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.ends_with(nextSuffix) || name.ends_with(previousSuffix) || name == launcherSwapRecordName)
          << "step " << step << ": " << name;
    }
  }
}

TEST(SelfUpdate, VersionsCompareAsNumbers) {
  EXPECT_TRUE(isNewerVersion("1.10.0", "1.9.0"));
  EXPECT_TRUE(isNewerVersion("1.0.1", "1.0"));
  EXPECT_FALSE(isNewerVersion("1.9.0", "1.10.0"));
  EXPECT_FALSE(isNewerVersion("1.2.0", "1.2.0"));
  EXPECT_FALSE(isNewerVersion("2.0.0-beta", "1.0.0"));  // not dotted numbers: never newer
  EXPECT_FALSE(isNewerVersion("2..0", "1.0.0"));
  EXPECT_EQ(parseLauncherVersion("quarvel launcher 0.2.0 and more"), std::nullopt);
}

// Refused for good means never run again: a version too long for any record, and a launcher that names no key to
// one that checks signatures.
TEST(SelfUpdate, ARefusedLauncherIsNeverRunAgain) {
  {
    SelfUpdateRun run;
    std::string longVersion = "1";
    for (int i = 0; i < 3000; ++i) longVersion += ".1";
    // Its program is a script that leaves a mark in the player's folder whenever it runs.
    const fs::path carried = carriedLauncherFolder("game");
    std::ofstream(carried / launcherProgramName()) << "#!/bin/sh\ntouch \"" << fs::current_path().string() << "/ran\"\n";
    fs::permissions(carried / launcherProgramName(), static_cast<fs::perms>(0755));
    std::ofstream(carried / launcherVersionFileName) << formatLauncherVersion(longVersion);
    for (int start = 0; start < 2; ++start) updateLauncherFrom("game", run.context);
    EXPECT_FALSE(run.dir.exists("ran"));
    EXPECT_EQ(run.dir.read(launcherProgramName()), "the previous launcher");
  }
  {
    SelfUpdateRun run;
    run.context.checksSignatures = true;
    for (int start = 0; start < 2; ++start) updateLauncherFrom("game", run.context);
    EXPECT_EQ(run.dir.read(launcherProgramName()), "the previous launcher");
    ASSERT_EQ(run.details.size(), 2u);
    EXPECT_NE(run.details[0].find("checks no publisher signature (its quarvel-launcher.keys names no key)"),
              std::string::npos);
    EXPECT_NE(run.details[1].find("could not be installed before"), std::string::npos);
  }
}

TEST(SelfUpdate, RunProgramTellsEachEnd) {
  using End = platform::ProgramOutcome::End;
  WorkDir dir;
  dir.write("sleeps", "#!/bin/sh\nsleep 5\n");
  fs::permissions(dir.path() / "sleeps", static_cast<fs::perms>(0755));
  const std::tuple<std::string, End, int> rows[] = {
      {"missing", End::NotStarted, -1},
      {QUARVEL_NEEDS_LIBRARY_BIN, End::Ended, 127},
      {"sleeps", End::TimedOut, -1},
  };
  for (const auto& [program, end, status] : rows) {
    const auto outcome = platform::runProgram((dir.path() / program).string(), "", dir.path().string(), Milliseconds(500));
    EXPECT_EQ(outcome.end, end) << program;
    EXPECT_EQ(outcome.status, status) << program;
  }
}
