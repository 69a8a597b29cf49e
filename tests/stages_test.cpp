#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class Stages : public testing::Test {
 protected:
  void install(const std::string& line) {
    dir.write("latest_version.txt", line);
    launcher.checkInstalledVersion();
  }
  Lines logAfter(std::size_t skip) const {
    const auto lines = launcher.logLines();
    return Lines(lines.begin() + static_cast<long>(std::min(skip, lines.size())), lines.end());
  }

  WorkDir dir;
  TestServer server;
  Launcher launcher{server.url()};
};

TEST_F(Stages, InstalledVersionFoundOrMissing) {
  install("1.0 20190315\n");
  EXPECT_EQ(launcher.logLines(), (Lines{"Checking for installed version...",
                                        "    Installed version is 1.0_20190315 (built 15 March, 2019)."}));
  EXPECT_EQ(launcher.currentStage(), CheckLatestVersion);

  // Only the working directory's copy counts, not one inside the install directory.
  WorkDir other;
  other.write("game/latest_version.txt", "1.0 20190315");
  Launcher fresh{server.url()};
  fresh.checkInstalledVersion();
  EXPECT_EQ(fresh.logLines(), (Lines{"Checking for installed version...", "    Could not find file latest_version.txt",
                                     "    No existing installation found."}));
  EXPECT_EQ(fresh.currentStage(), CheckLatestVersion);
  EXPECT_EQ(LauncherProbe::installed(fresh).version, "");
}

TEST_F(Stages, NewerBuildOnServerAsksForUpdate) {
  install("1.0 20190315");
  server.serve("/latest_version.txt", "1.1 20190402\n");
  dir.write("temp.txt", "left over from an earlier run");
  launcher.checkLatestVersion();
  EXPECT_EQ(logAfter(2),
            (Lines{"Checking for latest version...", "    Latest version is 1.1_20190402 (built 02 April, 2019).",
                   "An update is required."}));
  EXPECT_EQ(launcher.currentStage(), DownloadPackage);
  EXPECT_EQ(LauncherProbe::latest(launcher).packageFile, "quarvel 1.1 20190402.zip");
  EXPECT_FALSE(dir.exists("temp.txt"));
}

TEST_F(Stages, SameBuildGoesStraightToReady) {
  install("1.0_20190315");  // an underscore where the server has a blank still matches
  server.serve("/latest_version.txt", "1.0 20190315");
  launcher.checkLatestVersion();
  EXPECT_EQ(logAfter(2).back(), "Already at latest version.");
  EXPECT_EQ(launcher.currentStage(), ReportReady);
  EXPECT_EQ(server.requests(), Lines{"/latest_version.txt"});
}

TEST_F(Stages, UnusableAnswersFallBackToTheInstalledBuild) {
  struct Case {
    const char* name;
    std::function<void(TestServer&)> serve;
  };
  const Case cases[] = {
      {"404 page", [](TestServer&) {}},
      {"500 page", [](TestServer& s) { s.serve("/latest_version.txt", "<html>Internal error</html>", 500); }},
      {"redirect", [](TestServer& s) { s.redirect("/latest_version.txt", "/elsewhere.txt"); }},
      {"dropped", [](TestServer& s) { s.dropAfter("/latest_version.txt", "1.1 2019", 12); }},
      {"byte order mark",
       [](TestServer& s) {
         s.serve("/latest_version.txt",
                 "\xEF\xBB\xBF"
                 "1.1 20190402");
       }},
      {"empty", [](TestServer& s) { s.serve("/latest_version.txt", ""); }},
  };
  for (const Case& c : cases) {
    WorkDir work;
    TestServer s;
    s.serve("/elsewhere.txt", "1.1 20190402");
    c.serve(s);
    work.write("latest_version.txt", "1.0 20190315");
    Launcher l{s.url()};
    l.checkInstalledVersion();
    l.checkLatestVersion();
    const auto lines = l.logLines();
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()),
              (Lines{"Checking for latest version...", "    Could not read file temp.txt. It may be corrupted",
                     "Error: Failed to contact server. Check internet connection.",
                     "Continuing to use installed version (1.0_20190315)."}))
        << c.name;
    EXPECT_EQ(l.currentStage(), ReportReady) << c.name;
    EXPECT_FALSE(work.exists("temp.txt")) << c.name;
    EXPECT_EQ(s.requests(), Lines{"/latest_version.txt"}) << c.name << ": a redirect is never followed";
  }
}

TEST_F(Stages, NoAnswerAndNothingInstalledStopsAtTwo) {
  Launcher unreachable{"127.0.0.1:1/"};
  unreachable.checkInstalledVersion();
  unreachable.checkLatestVersion();
  const auto lines = unreachable.logLines();
  EXPECT_EQ(Lines(lines.begin() + 3, lines.end()),
            (Lines{"Checking for latest version...", "    Could not read file temp.txt. It may be corrupted",
                   "Error: Failed to contact server. Check internet connection."}));
  EXPECT_EQ(unreachable.currentStage(), CheckLatestVersion);
  EXPECT_FALSE(dir.exists("temp.txt"));
}

TEST_F(Stages, DownloadFileKeepsWhateverBodyArrives) {
  server.redirect("/moved", "/page");
  launcher.downloadFile((server.url() + "moved").c_str(), "b.bin");
  EXPECT_EQ(dir.read("b.bin"), "<html>Moved</html>\n");  // the redirect's own body, not its target

  dir.write("c.bin", "old contents");
  launcher.downloadFile("127.0.0.1:1/x", "c.bin");
  EXPECT_TRUE(dir.exists("c.bin"));
  EXPECT_EQ(dir.read("c.bin"), "");

  server.dropAfter("/cut", "half", 100);
  launcher.downloadFile((server.url() + "cut").c_str(), "d.bin");
  EXPECT_EQ(dir.read("d.bin"), "half");
  EXPECT_TRUE(launcher.logLines().empty());

  launcher.downloadFile((server.url() + "page").c_str(), "no/such/dir/e.bin");
  EXPECT_EQ(launcher.logLines(), Lines{"Failed to download file (could not write no/such/dir/e.bin)."});
}

TEST_F(Stages, PackageDownloadEncodesBlanksAndReportsSize) {
  LauncherProbe::latest(launcher) = *parseVersionLine(testLine);
  server.serve("/" + testPackage, std::string(5000000, 'p'));
  launcher.downloadPackage();
  EXPECT_EQ(launcher.logLines(),
            (Lines{"Downloading package \"quarvel 1.0 20190315.zip\"...", "    Downloaded 4 MiB."}));
  EXPECT_EQ(server.requests(), Lines{"/quarvel%201.0%2020190315.zip"});
  EXPECT_EQ(fs::file_size(dir.path() / testPackage), 5000000u);
  EXPECT_EQ(launcher.currentStage(), ExtractPackage);
}

TEST_F(Stages, PackageDownloadFailuresStillMoveOn) {
  LauncherProbe::latest(launcher) = *parseVersionLine(testLine);
  launcher.downloadPackage();  // the server answers 404 with a small page
  EXPECT_EQ(launcher.logLines().back(), "    Downloaded 0 MiB.");
  EXPECT_EQ(launcher.currentStage(), ExtractPackage);

  // Something in the package's place that cannot be written: no size is made up.
  fs::remove(dir.path() / testPackage);
  fs::create_directory(dir.path() / testPackage);
  launcher.downloadPackage();
  const auto lines = launcher.logLines();
  EXPECT_EQ(
      Lines(lines.end() - 2, lines.end()),
      (Lines{"Failed to download file (could not write quarvel 1.0 20190315.zip).", "    No package was downloaded."}));

  // A name from the server with a folder in it is never used as a download path.
  LauncherProbe::latest(launcher).packageFile = "../escaped.zip";
  launcher.downloadPackage();
  EXPECT_EQ(launcher.logLines().back(), "    The package name holds a folder separator; it is not downloaded.");
  EXPECT_EQ(server.requests().size(), 1u);  // only the first, 404 download asked the server
  EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escaped.zip"));
}

TEST_F(Stages, ReportReadyOutcomes) {
  // Updated from nothing: the new line is recorded, blanks restored.
  LauncherProbe::latest(launcher) = *parseVersionLine("1.1_20190402");
  launcher.reportReady();
  EXPECT_TRUE(launcher.isReadyToLaunch());
  EXPECT_EQ(dir.read("latest_version.txt"), "1.1 20190402");
  EXPECT_EQ(launcher.logLines(), Lines{"Quarvel is up to date!"});

  // No answer from the server: the installed build is named and the file left alone.
  Launcher offline{"127.0.0.1:1/"};
  LauncherProbe::installed(offline) = *parseVersionLine("1.0 20190315");
  offline.reportReady();
  EXPECT_EQ(offline.logLines(), Lines{"Quarvel version 1.0_20190315 is ready to play!"});
  EXPECT_EQ(dir.read("latest_version.txt"), "1.1 20190402");

  // A version file that cannot be written does not keep the game from starting.
  fs::remove(dir.path() / "latest_version.txt");
  fs::create_directory(dir.path() / "latest_version.txt");
  Launcher blocked{"127.0.0.1:1/"};
  LauncherProbe::latest(blocked) = *parseVersionLine("1.2 20190501");
  blocked.reportReady();
  EXPECT_TRUE(blocked.isReadyToLaunch());
  EXPECT_EQ(blocked.logLines(), Lines{"Quarvel is up to date!"});
  EXPECT_FALSE(dir.exists("latest_version.txt.new"));
}

}  // namespace
