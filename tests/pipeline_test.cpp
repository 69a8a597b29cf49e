#include "support/TestSupport.h"

namespace {

TEST(Pipeline, FirstRunInstallsThenLaterRunsStartAtOnce) {
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine + "\n");
  server.serve("/" + testPackage, zipArchive({top,
                                              {"Top/details/", "", 040755},
                                              {"Top/details/Quarvel.exe", "#!/bin/sh\n", 0100755},
                                              {"Top/data/", "", 040755},
                                              {"Top/data/level1.txt", std::string(300000, 'x'), 0100644},
                                              {"Top/data/empty.txt", "", 0100644}}));
  dir.write("temp.txt", "left over from an earlier run");

  const Outcome first = runLauncher(server.url());
  EXPECT_EQ(first.log, (Lines{"Checking for installed version...", "    Could not find file latest_version.txt",
                              "    No existing installation found.", "Checking for latest version...",
                              "    Latest version is 1.0_20190315 (built 15 March, 2019).", "An update is required.",
                              "Downloading package \"quarvel 1.0 20190315.zip\"...", "    Downloaded 0 MiB.",
                              "Extracting package...", "    Extracting file 6 / 6 (100%): Top/data/empty.txt",
                              "    Done.", upToDate}));
  EXPECT_TRUE(first.ready);
  EXPECT_EQ(dir.read("latest_version.txt"), testLine);
  EXPECT_FALSE(dir.exists("temp.txt"));
  EXPECT_TRUE(dir.exists(testPackage));  // the package is kept
  EXPECT_EQ(server.requests(), (Lines{"/latest_version.txt", "/quarvel%201.0%2020190315.zip"}));

  // The same build again, here with underscores where the server has blanks: no package.
  dir.write("latest_version.txt", "1.0_20190315");
  const Outcome second = runLauncher(server.url());
  EXPECT_EQ(second.log,
            (Lines{"Checking for installed version...", "    Installed version is 1.0_20190315 (built 15 March, 2019).",
                   "Checking for latest version...", "    Latest version is 1.0_20190315 (built 15 March, 2019).",
                   "Already at latest version.", upToDate}));
  EXPECT_TRUE(second.ready);
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_P(Packages, InstallThroughTheWholePipeline) { EXPECT_TRUE(installsAsExpected(GetParam())); }

INSTANTIATE_TEST_SUITE_P(
    Layouts, Packages,
    testing::Values(
        // Setuid is never restored; entries without Unix modes get the defaults; the owner
        // can always replace what is installed; a file larger than the read buffer.
        PackageRow{"nested_folders_and_modes",
                   {{"Build-1/", "", 040755},
                    {"Build-1/details/", "", 040755},
                    {"Build-1/details/Quarvel.exe", "#!/bin/sh\n", 0104755},
                    {"Build-1/details/lib/", "", 0},
                    {"Build-1/details/lib/a.dll", std::string(2500000, 'a'), 0},
                    {"Build-1/details/lib/read-only.dat", "ro", 0100444},
                    {"Build-1/empty.txt", "", 0100640},
                    {"Build-1/stored.bin", "stored data", 0100644, true}},
                   {"    Extracting file 8 / 8 (100%): Build-1/stored.bin", "    Done.", upToDate},
                   {{"game/details/Quarvel.exe", "#!/bin/sh\n", 0755},
                    {"game/details/lib/", "", 0755},
                    {"game/details/lib/a.dll", std::string(2500000, 'a'), 0644},
                    {"game/details/lib/read-only.dat", "ro", 0644},
                    {"game/empty.txt", "", 0640},
                    {"game/stored.bin", "stored data"}}},
        // Files the package does not hold, such as the player's saves, stay.
        PackageRow{"update_keeps_other_files",
                   {top, {"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "new", 0100755}},
                   updated,
                   {{"game/details/Quarvel.exe", "new"}, {"game/saves/slot1.sav", "save"}},
                   placing("game/saves/slot1.sav", "save")},
        // A file at the root maps onto "game" itself, and a file whose folder has no entry
        // cannot be created: both are read and dropped, and the extraction goes on.
        PackageRow{"layout_quirks_are_skipped",
                   {top, {"readme.txt", "root file"}, {"Top/nodir/file.txt", "lost"}, {"Top/kept.txt", "kept"}},
                   updated,
                   {{"game/kept.txt", "kept"}, {"game/nodir", std::nullopt}}},
        PackageRow{"empty_archive", {}, {"    Extracting files", "    Done.", upToDate}, {{"game", std::nullopt}}},
        // A player who moved the game elsewhere keeps getting updates there.
        PackageRow{"install_folder_is_a_link",
                   {top, {"Top/a.txt", "a", 0100644}},
                   updated,
                   {{"elsewhere/a.txt", "a"}},
                   linking("game", "elsewhere")}),
    rowName);

// A quit asks the running stage to stop: no new transfer starts, a transfer that is
// still receiving ends, an extraction ends between entries; the version stays unrecorded.
struct StopRow {
  const char* name;
  Reply package;
  std::vector<ZipEntry> entries;
  const char* stopOnceThere;  // "" stops before the first stage
};

class Stop : public testing::TestWithParam<StopRow> {};

TEST_P(Stop, EndsTheWorkersInTimeAndRecordsNothing) {
  const StopRow& row = GetParam();
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.on("/" + testPackage,
            row.package.kind == Reply::Flood ? row.package : Reply{Reply::Body, zipArchive(row.entries)});
  Launcher launcher{server.url()};
  const bool atOnce = !*row.stopOnceThere;
  const auto there = [&] { return dir.exists(row.stopOnceThere); };
  ASSERT_TRUE(atOnce || (driveUntil(launcher, [&] { return there() || launcher.pipelineIdle(); }) && there()));
  launcher.requestStop();
  EXPECT_TRUE(launcher.waitForWorkers(Milliseconds(800)));
  EXPECT_TRUE(!atOnce || driveUntil(launcher, [&] { return launcher.pipelineIdle(); }));
  EXPECT_TRUE(!atOnce || server.requests().empty());
  EXPECT_FALSE(dir.exists("game/f1999"));
  EXPECT_FALSE(dir.exists("latest_version.txt"));
}

std::vector<ZipEntry> manyEntries() {
  std::vector<ZipEntry> entries{top};
  for (int i = 0; i < 2000; ++i)
    entries.push_back({"Top/f" + std::to_string(i), "", 0100644});  // no data: only the loop over entries can stop
  return entries;
}

INSTANTIATE_TEST_SUITE_P(Quit, Stop,
                         testing::Values(StopRow{"before_any_transfer", {}, manyEntries(), ""},
                                         StopRow{"endless_package", {Reply::Flood}, {}, testPackage.c_str()},
                                         StopRow{"long_extraction", {}, manyEntries(), "game/f10"}),
                         [](const testing::TestParamInfo<StopRow>& info) { return info.param.name; });

}  // namespace
