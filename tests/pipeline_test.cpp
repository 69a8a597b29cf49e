#include "base/Check.h"
#include "support/TestSupport.h"

namespace {

TEST(Pipeline, FirstRunInstallsThenLaterRunsStartAtOnce) {
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine + "\n");
  server.serve("/" + testPackage,
               zipArchive({top, {"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "#!/bin/sh\n", 0100755},
                           {"Top/data/", "", 040755}, {"Top/data/level1.txt", std::string(300000, 'x'), 0100644},
                           {"Top/data/empty.txt", "", 0100644}}));
  dir.write("temp.txt", "left over from an earlier run");

  EXPECT_EQ(runLauncher(server.url()).first,
            (firstRun + Lines{"    Extracting file 6 / 6 (100%): Top/data/empty.txt", "    Done.", upToDate}));
  EXPECT_EQ(dir.read("latest_version.txt"), testLine);  // without the served line end
  EXPECT_FALSE(dir.exists("temp.txt"));
  EXPECT_EQ(server.requests(), (Lines{"/latest_version.txt", "/quarvel%201.0%2020190315.zip"}));

  // The same build again, here with underscores where the server has blanks: no package.
  dir.write("latest_version.txt", "1.0_20190315");
  EXPECT_EQ(runLauncher(server.url()).first,
            (Lines{"Checking for installed version...", "    Installed version is 1.0_20190315 (built 15 March, 2019).",
                   "Checking for latest version...", "    Latest version is 1.0_20190315 (built 15 March, 2019).",
                   "Already at latest version.", upToDate}));
}

TEST_P(Packages, InstallThroughTheWholePipeline) { installsAsExpected(GetParam()); }

const std::string dll(2500000, 'a');  // larger than the read buffer

// Setuid is never restored; entries without Unix modes get the defaults; the owner can always replace what is
// installed; saves stay. A file at the root maps onto "game" itself, one whose folder has no entry cannot be
// created: both are dropped and the extraction goes on. A game moved elsewhere keeps getting updates there.
INSTANTIATE_TEST_SUITE_P(
    Layouts, Packages,
    testing::Values(
        PackageRow("nested_folders_and_modes",
                   {{"B/", "", 040755}, {"B/details/", "", 040755}, {"B/details/Quarvel.exe", "#!/bin/sh\n", 0104755},
                    {"B/details/lib/", "", 0}, {"B/details/lib/a.dll", dll, 0}, {"B/details/lib/ro.dat", "ro", 0100444},
                    {"B/empty.txt", "", 0100640}, {"B/stored.bin", "stored data", 0100644, true}},
                   {"    Extracting file 8 / 8 (100%): B/stored.bin", "    Done.", upToDate},
                   {{"game/details/Quarvel.exe", "#!/bin/sh\n", 0755}, {"game/details/lib/", "", 0755},
                    {"game/details/lib/a.dll", dll, 0644}, {"game/details/lib/ro.dat", "ro", 0644},
                    {"game/empty.txt", "", 0640}, {"game/stored.bin", "stored data"}}),
        PackageRow("update_keeps_other_files", {top, {"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "new"}},
                   updated, {{"game/details/Quarvel.exe", "new"}, {"game/saves/slot1.sav", "save"}},
                   placing("game/saves/slot1.sav", "save")),
        PackageRow("layout_quirks_are_skipped",
                   {top, {"readme.txt", "root file"}, {"Top/nodir/file.txt", "lost"}, {"Top/kept.txt", "kept"}},
                   updated, {{"game/kept.txt", "kept"}, {"game/nodir", std::nullopt}}),
        PackageRow("empty_archive", {}, {"    Extracting files", "    Done.", upToDate}, {{"game", std::nullopt}}),
        PackageRow("install_folder_is_a_link", {top, {"Top/a.txt", "a"}}, updated, {{"elsewhere/a.txt", "a"}},
                   linking("game", "elsewhere")),
        // A folder where the log file goes is left as it is and logging given up; the update goes on as ever.
        PackageRow("log_file_cannot_be_written", {top, {"Top/a.txt", "a"}}, updated,
                   {{"game/a.txt", "a"}, {"quarvel-launcher.log/kept", "kept"}, {"quarvel-launcher.log.1", std::nullopt}},
                   placing("quarvel-launcher.log/kept", "kept"))), rowName);

// A quit: no new transfer starts, a receiving one ends (the version file's or the package's), a stalled one too,
// an extraction ends between entries; nothing is recorded, and no temporary file is left.
struct StopRow {
  const char* name;
  const Reply *version, *package;
  const char* stopOnceThere;  // "" stops before the first stage
};
class Stop : public testing::TestWithParam<StopRow> {};
const std::string testPart = testPackage + ".part";  // kept for a later start to continue
// Entries without data: only the loop over entries can stop.
const Reply line{Reply::Body, testLine}, flood{Reply::Flood}, stall{Reply::Stall},
    manyEntries{Reply::Body, zipArchive(numbered({top}, 2000, {"Top/f", "", 0100644}))};

TEST_P(Stop, EndsTheWorkersInTimeAndRecordsNothing) {
  const StopRow& row = GetParam();
  WorkDir dir;
  TestServer server;
  server.on("/latest_version.txt", *row.version);
  server.on("/" + testPackage, *row.package);
  Launcher launcher{server.url()};
  const bool atOnce = !*row.stopOnceThere;
  // A stalled package is waited for until it was asked for; libcurl asks whether to go on only about once a second
  // while no data comes.
  const bool stalls = row.package->kind == Reply::Stall;
  const auto there = [&] { return dir.exists(row.stopOnceThere) && (!stalls || server.requests().size() == 2); };
  ASSERT_TRUE(atOnce || (driveUntil(launcher, [&] { return there() || launcher.pipelineIdle(); }) && there()));
  launcher.requestStop();
  QUARVEL_CHECK(launcher.waitForWorkers(Milliseconds(stalls ? 1200 : 800)));  // aborts: the launcher would exit with 0
  EXPECT_TRUE(!atOnce || driveUntil(launcher, [&] { return launcher.pipelineIdle(); }));
  EXPECT_TRUE(!atOnce || server.requests().empty());
  EXPECT_FALSE(dir.exists("game/f1999"));
  EXPECT_FALSE(dir.exists("latest_version.txt") || dir.exists("temp.txt"));
  EXPECT_EQ(dir.exists(updateRecordName), dir.exists("game"));  // once something was written, the record says so
}

INSTANTIATE_TEST_SUITE_P(Quit, Stop,
                         testing::Values(StopRow("before_any_transfer", &line, &manyEntries, ""),
                                         StopRow("endless_version_file", &flood, &manyEntries, "temp.txt"),
                                         StopRow("endless_package", &line, &flood, testPart.c_str()),
                                         StopRow("stalled_package", &line, &stall, testPart.c_str()),
                                         StopRow("long_extraction", &line, &manyEntries, "game/f10")), rowName);

// A transfer that stalls may hold its worker past the bounded shutdown, which then ends the process: the log file
// still names the address it waited on, and every line queued before the end.
TEST(StopDeathTest, StalledTransferLeavesItsAddressInTheLogFile) {
  WorkDir dir;
  GTEST_FLAG_SET(death_test_style, "fast");  // the child works in this test's folder
  EXPECT_EXIT(
      {
        TestServer server;
        server.serve("/latest_version.txt", testLine);
        server.on("/" + testPackage, {Reply::Stall});
        Launcher launcher{server.url()};
        driveUntil(launcher, [&] { return server.requests().size() == 2; });
        launcher.shutDown();  // ends the process itself when the worker is still held
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
  const std::string log = dir.read("quarvel-launcher.log");
  EXPECT_NE(log.find("/quarvel%201.0%2020190315.zip: started\n"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("\n")) << log;
}

// The second launcher in a folder says so and does nothing, not even to the log file; the first goes on undisturbed,
// and once it ends the folder is free again.
TEST(OneLauncherPerFolder, TheSecondDoesNothingWhileTheFirstRuns) {
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.serve("/" + testPackage, zipArchive({top, {"Top/a.txt", "a"}}));
  {
    Launcher first{server.url()};
    Launcher second{server.url()};
    ASSERT_TRUE(driveUntil(first, [&] { return second.update(), first.pipelineIdle(); }));
    EXPECT_TRUE(first.isReadyToLaunch());
    EXPECT_FALSE(second.isReadyToLaunch());
    EXPECT_EQ(second.logLines(), Lines{anotherLauncherLine});
  }
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(windowLinesOf(dir.read("quarvel-launcher.log"), {}).back(), upToDate);
  EXPECT_FALSE(dir.exists("quarvel-launcher.log.1"));
  EXPECT_EQ(runLauncher(server.url()).first.back(), upToDate);
}

std::string damagedAfterTheProgram() {
  const std::string text = slurp(fs::path(QUARVEL_ASSET_DIR) / "LTYPE.TTF.LICENSE");
  std::string bytes =
      zipArchive({top, {"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "new"}, {"Top/level.txt", text, 0, true}});
  bytes[bytes.find("Top/level.txt") + text.size() / 2] ^= 0x20;  // inside the last entry's stored data
  return bytes;
}

// Build A installed. An update to B that stops before its first write into game/ leaves A playable; one that stops
// after it leaves a mix of two builds, which no start offers, offline or online, until an update finishes. So does
// a reinstall of A (the studio withdrew B) that stops too, though record and version file then both name A.
TEST(Interrupted, NextStartOffersOnlyAWholeBuild) {
  WorkDir dir;
  const std::string lineA = "0.9 20190101";
  dir.write("latest_version.txt", lineA);
  dir.write("game/details/Quarvel.exe", "old");
  const auto startOffline = [&dir](const Lines& end) {
    const auto [log, ready] = runLauncher("127.0.0.1:1/");
    const Lines expected = Lines{"Checking for latest version...", "    Could not read file temp.txt. It may be corrupted",
                                 contactFailed} + end;
    EXPECT_EQ(tailOf(log, expected), expected);
    EXPECT_EQ(ready, end.back().ends_with('!'));
    EXPECT_EQ(std::ranges::count(log, "    The last update did not finish; the installed files are incomplete."), !ready);
  };
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.serve("/" + testPackage, zipArchive({{"Top/../x", "x"}}));  // unsafe: refused before anything is written
  EXPECT_FALSE(runLauncher(server.url()).second);
  startOffline({"Continuing to use installed version (0.9_20190101).", "Quarvel version 0.9_20190101 is ready to play!"});

  server.serve("/" + testPackage, damagedAfterTheProgram());
  EXPECT_FALSE(runLauncher(server.url()).second);
  EXPECT_EQ(dir.read(updateRecordName), testLine);
  startOffline({"    Connect to the internet to finish the update."});

  server.serve("/latest_version.txt", lineA);
  server.serve("/quarvel " + lineA + ".zip", damagedAfterTheProgram());
  EXPECT_FALSE(runLauncher(server.url()).second);
  EXPECT_EQ(dir.read(updateRecordName), lineA);
  EXPECT_EQ(dir.read("latest_version.txt"), lineA);
  startOffline({"    Connect to the internet to finish the update."});

  server.serve("/latest_version.txt", testLine);
  server.serve("/" + testPackage, zipArchive({top, {"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "new"}}));
  EXPECT_TRUE(runLauncher(server.url()).second);
  EXPECT_EQ(dir.read("game/details/Quarvel.exe"), "new");
  EXPECT_FALSE(dir.exists(updateRecordName));
}

}  // namespace
