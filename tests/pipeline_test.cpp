#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class Pipeline : public testing::Test {
 protected:
  Pipeline() {
    buildZip(dir.path() / "served.zip", gamePackageEntries((dir.path() / "started").string()));
    server.serve("/latest_version.txt", testLine + "\n");
    server.serve("/" + testPackage, dir.read("served.zip"));
    fs::remove(dir.path() / "served.zip");
  }

  Lines run(const std::string& url) {
    Launcher launcher{url};
    EXPECT_TRUE(runPipeline(launcher));
    ready = launcher.isReadyToLaunch();
    finalStage = launcher.currentStage();
    return launcher.logLines();
  }

  WorkDir dir;
  TestServer server;
  bool ready = false;
  UpdateStage finalStage = None;
};

TEST_F(Pipeline, FirstRunInstallsThenLaterRunsStartAtOnce) {
  EXPECT_EQ(
      run(server.url()),
      (Lines{"Checking for installed version...", "    Could not find file latest_version.txt",
             "    No existing installation found.", "Checking for latest version...",
             "    Latest version is 1.0_20190315 (built 15 March, 2019).", "An update is required.",
             "Downloading package \"quarvel 1.0 20190315.zip\"...", "    Downloaded 0 MiB.", "Extracting package...",
             "    Extracting file 6 / 6 (100%): Top/data/empty.txt", "    Done.", "Quarvel is up to date!"}));
  EXPECT_TRUE(ready);
  EXPECT_EQ(dir.read("latest_version.txt"), testLine);
  EXPECT_FALSE(dir.exists("temp.txt"));
  EXPECT_TRUE(dir.exists(testPackage));
  EXPECT_TRUE(fs::status(dir.path() / "game/details/Quarvel.exe").permissions() == fs::perms(0755));
  EXPECT_EQ(server.requests(), (Lines{"/latest_version.txt", "/quarvel%201.0%2020190315.zip"}));

  // Second run: the same build, so no package is asked for.
  const Lines second = run(server.url());
  EXPECT_EQ(Lines(second.end() - 2, second.end()), (Lines{"Already at latest version.", "Quarvel is up to date!"}));
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_TRUE(ready);

  // No server: the installed build stays playable.
  const Lines offline = run("127.0.0.1:1/");
  EXPECT_EQ(
      Lines(offline.end() - 3, offline.end()),
      (Lines{"Error: Failed to contact server. Check internet connection.",
             "Continuing to use installed version (1.0_20190315).", "Quarvel version 1.0_20190315 is ready to play!"}));
  EXPECT_TRUE(ready);
  EXPECT_EQ(dir.read("latest_version.txt"), testLine);
}

TEST_F(Pipeline, DeadEndsLeaveTheButtonDisabled) {
  run("127.0.0.1:1/");
  EXPECT_FALSE(ready);
  EXPECT_EQ(finalStage, CheckLatestVersion);

  server.serve("/" + testPackage, "<html>Service unavailable</html>", 503);
  const Lines lines = run(server.url());
  EXPECT_EQ(lines.back(), "    Failed to open archive.");
  EXPECT_FALSE(ready);
  EXPECT_EQ(finalStage, ExtractPackage);
  EXPECT_FALSE(dir.exists("latest_version.txt"));
}

TEST_F(Pipeline, StopDuringSlowDownloadEndsPromptly) {
  server.trickle("/" + testPackage);
  Launcher launcher{server.url()};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!dir.exists(testPackage) && std::chrono::steady_clock::now() < deadline) {
    launcher.update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(dir.exists(testPackage));
  launcher.requestStop();
  // The next byte that arrives ends the transfer; no new stage is started afterwards.
  EXPECT_TRUE(launcher.waitForWorkers(Milliseconds(800)));
  EXPECT_FALSE(dir.exists("latest_version.txt"));
}

TEST(PipelineShutdown, StalledServerIsReportedToShutdown) {
  WorkDir dir;
  auto server = std::make_unique<TestServer>();
  server->stall("/latest_version.txt");
  Launcher launcher{server->url()};
  while (launcher.currentStage() != CheckLatestVersion) {
    launcher.update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
