#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(Pipeline, FirstRunInstallsThenLaterRunsStartAtOnce) {
  WorkDir dir;
  TestServer server;
  buildZip(dir.path() / "p.zip", {{"Top/", "", 040755},
                                  {"Top/details/", "", 040755},
                                  {"Top/details/Quarvel.exe", "#!/bin/sh\n", 0100755},
                                  {"Top/data/", "", 040755},
                                  {"Top/data/level1.txt", std::string(300000, 'x'), 0100644},
                                  {"Top/data/empty.txt", "", 0100644}});
  server.serve("/latest_version.txt", testLine + "\n");
  server.serve("/" + testPackage, dir.read("p.zip"));
  fs::remove(dir.path() / "p.zip");
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
  EXPECT_EQ(modeOf(dir.path() / "game/details/Quarvel.exe"), 0755u);
  EXPECT_EQ(server.requests(), (Lines{"/latest_version.txt", "/quarvel%201.0%2020190315.zip"}));

  // The same build again, here with underscores where the server has blanks: no package.
  dir.write("latest_version.txt", "1.0_20190315");
  const auto installedThen = [](Lines rest) {
    rest.insert(rest.begin(),
                {"Checking for installed version...", "    Installed version is 1.0_20190315 (built 15 March, 2019).",
                 "Checking for latest version..."});
    return rest;
  };
  const Outcome second = runLauncher(server.url());
  EXPECT_EQ(second.log, installedThen({"    Latest version is 1.0_20190315 (built 15 March, 2019).",
                                       "Already at latest version.", upToDate}));
  EXPECT_TRUE(second.ready);
  EXPECT_EQ(server.requests().size(), 3u);

  // No server: the installed build stays playable.
  const Outcome offline = runLauncher("127.0.0.1:1/");
  EXPECT_EQ(offline.log,
            installedThen({unreadable, contactFailed, "Continuing to use installed version (1.0_20190315).",
                           "Quarvel version 1.0_20190315 is ready to play!"}));
  EXPECT_TRUE(offline.ready);
  EXPECT_EQ(dir.read("latest_version.txt"), "1.0_20190315");
}

TEST(Pipeline, StalledServerIsReportedToShutdown) {
  WorkDir dir;
  auto server = std::make_unique<TestServer>();
  server->on("/latest_version.txt", {Reply::Stall});
  Launcher launcher{server->url()};
  ASSERT_TRUE(driveUntil(launcher, [&] { return launcher.currentStage() == CheckLatestVersion; }));
  launcher.update();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  launcher.requestStop();
  // A transfer that receives nothing cannot be reached: shutdown learns so in time to
  // end the process instead of tearing the launcher down under the blocked worker.
  EXPECT_FALSE(launcher.waitForWorkers(Milliseconds(300)));
  server.reset();  // ends the stalled answer, which frees the worker
  EXPECT_TRUE(launcher.waitForWorkers(Milliseconds(5000)));
}

}  // namespace
