#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

// Each row: what goes wrong, and what the player is left with. Every row runs the whole
// pipeline against a real server on 127.0.0.1 and real archives.
namespace {

using Lines = std::vector<std::string>;

struct Outcome {
  Lines log;
  UpdateStage stage = None;
  bool ready = false;
};

Outcome runLauncher(const std::string& url) {
  Launcher launcher{url};
  EXPECT_TRUE(runPipeline(launcher));
  return {launcher.logLines(), launcher.currentStage(), launcher.isReadyToLaunch()};
}

Lines tail(const Lines& lines, std::size_t n) {
  return Lines(lines.end() - static_cast<long>(std::min(n, lines.size())), lines.end());
}

const std::string contactFailed = "Error: Failed to contact server. Check internet connection.";
const std::string unreadable = "    Could not read file temp.txt. It may be corrupted";

struct ServerRow {
  const char* name;
  std::function<std::string(TestServer&)> setUp;  // returns the address the launcher uses
  Lines lastLines;
};

class ServerFaults : public testing::TestWithParam<ServerRow> {};

// With a build installed, no server fault may cost the player the installed build.
TEST_P(ServerFaults, InstalledBuildStaysPlayable) {
  WorkDir dir;
  dir.write("latest_version.txt", "0.9 20190101");
  dir.write("game/details/Quarvel.exe", "old build");
  TestServer server;
  const Outcome outcome = runLauncher(GetParam().setUp(server));
  EXPECT_EQ(tail(outcome.log, GetParam().lastLines.size()), GetParam().lastLines);
  EXPECT_EQ(dir.read("latest_version.txt"), "0.9 20190101");
  EXPECT_EQ(dir.read("game/details/Quarvel.exe"), "old build");
  EXPECT_FALSE(dir.exists("temp.txt"));
}

std::string newBuild(TestServer& s) {
  s.serve("/latest_version.txt", testLine);
  return s.url();
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, ServerFaults,
    testing::Values(ServerRow{"refused",
                              [](TestServer&) { return std::string("127.0.0.1:1/"); },
                              {unreadable, contactFailed, "Continuing to use installed version (0.9_20190101).",
                               "Quarvel version 0.9_20190101 is ready to play!"}},
                    ServerRow{"unresolvable",
                              [](TestServer&) { return std::string("quarvel-updates.invalid/"); },
                              {contactFailed, "Continuing to use installed version (0.9_20190101).",
                               "Quarvel version 0.9_20190101 is ready to play!"}},
                    ServerRow{"crlf_and_1MB_after",
                              [](TestServer& s) {
                                s.serve("/latest_version.txt", "0.9 20190101\r\n" + std::string(1 << 20, 'x'));
                                return s.url();
                              },
                              {"Already at latest version.", "Quarvel is up to date!"}},
                    ServerRow{"one_megabyte_line",
                              [](TestServer& s) {
                                s.serve("/latest_version.txt", std::string(1 << 20, '1'));
                                return s.url();
                              },
                              {unreadable, contactFailed, "Continuing to use installed version (0.9_20190101).",
                               "Quarvel version 0.9_20190101 is ready to play!"}},
                    ServerRow{"version_cut_chunked",
                              [](TestServer& s) {
                                s.dropChunked("/latest_version.txt", "1.0 2019");
                                return s.url();
                              },
                              {unreadable, contactFailed, "Continuing to use installed version (0.9_20190101).",
                               "Quarvel version 0.9_20190101 is ready to play!"}},
                    ServerRow{
                        "package_404", [](TestServer& s) { return newBuild(s); }, {"    Failed to open archive."}},
                    ServerRow{"package_500",
                              [](TestServer& s) {
                                s.serve("/" + testPackage, "<html>Internal error</html>", 500);
                                return newBuild(s);
                              },
                              {"    Failed to open archive."}},
                    ServerRow{"package_redirect",
                              [](TestServer& s) {
                                s.redirect("/" + testPackage, "/elsewhere.zip");
                                return newBuild(s);
                              },
                              {"    Failed to open archive."}},
                    ServerRow{"package_cut_with_length",
                              [](TestServer& s) {
                                s.dropAfter("/" + testPackage, "PK\x03\x04 not all of it", 100000);
                                return newBuild(s);
                              },
                              {"    Failed to open archive."}},
                    ServerRow{"package_cut_chunked",
                              [](TestServer& s) {
                                s.dropChunked("/" + testPackage, "PK\x03\x04 not all of it");
                                return newBuild(s);
                              },
                              {"    Failed to open archive."}}),
    [](const testing::TestParamInfo<ServerRow>& info) { return info.param.name; });

TEST(ServerFaultsWithoutLength, BodyEndingWithTheConnection) {
  WorkDir dir;
  OneShotServer server("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n1.0 2019");
  const Outcome outcome = runLauncher(server.url());
  EXPECT_EQ(tail(outcome.log, 2), (Lines{unreadable, contactFailed}));
  EXPECT_EQ(outcome.stage, CheckLatestVersion);
  EXPECT_FALSE(outcome.ready);
}

TEST(ServerFaultsEndless, EndlessPackageStopsOnQuit) {
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.flood("/" + testPackage);
  Launcher launcher{server.url()};
  for (int i = 0; i < 200 && !dir.exists(testPackage); ++i) {
    launcher.update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  launcher.requestStop();
  EXPECT_TRUE(launcher.waitForWorkers(Milliseconds(800)));
  EXPECT_FALSE(dir.exists("latest_version.txt"));
}

// Extracts entries through the whole pipeline, the package served by a real server.
Outcome installPackage(WorkDir& dir, const fs::path& package) {
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.serve("/" + testPackage, dir.read(package));
  fs::remove(dir.path() / package);
  return runLauncher(server.url());
}

TEST(ArchiveFaults, DamagedDeflatedEntry) {
  WorkDir dir;
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + " of a level file\n";
  buildZip(dir.path() / "p.zip", {{"Top/", "", 040755}, {"Top/level.txt", text, 0100644}});
  {  // one flipped byte in the middle of the compressed data
    std::fstream f(dir.path() / "p.zip", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(fs::file_size(dir.path() / "p.zip") / 2));
    f.put('\x5a');
  }
  const Outcome outcome = installPackage(dir, "p.zip");
  EXPECT_EQ(tail(outcome.log, 2), (Lines{"    Failed to read file game/level.txt", "    Aborting extraction."}));
  EXPECT_FALSE(outcome.ready);
  EXPECT_FALSE(dir.exists("latest_version.txt"));
}

TEST(ArchiveFaults, OddButHarmlessNamesStayInside) {
  WorkDir dir;
  // libzip will not store such names; Python's zipfile stores any.
  const std::string script =
      "import zipfile\n"
      "with zipfile.ZipFile('p.zip', 'w') as z:\n"
      "    z.writestr('Top/', '')\n"
      "    z.writestr('/abs.txt', 'a')\n"  // the top folder's name is empty here
      "    z.writestr('Top/./dot.txt', 'd')\n"
      "    z.writestr('Top/ctl\\x01.txt', 'c')\n"
      "    z.writestr('Top/dup.txt', 'first')\n"
      "    z.writestr('Top/dup.txt', 'second')\n";
  dir.write("make.py", script);
  ASSERT_EQ(std::system("python3 -W ignore make.py"), 0);
  const Outcome outcome = installPackage(dir, "p.zip");
  EXPECT_TRUE(outcome.ready);
  EXPECT_EQ(dir.read("game/abs.txt"), "a");
  EXPECT_EQ(dir.read("game/dot.txt"), "d");
  EXPECT_EQ(dir.read("game/dup.txt"), "second");  // a repeated name: the later entry wins
  // The archive's name encoding is guessed, so the control character may come out as
  // another character; the file lands inside all the same.
  const auto names = [&] {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir.path() / "game")) found.push_back(entry.path().filename());
    return found;
  }();
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("ctl", 0) == 0; }), 1);
}

TEST(ArchiveFaults, OverlappingBombIsRefusedBeforeWriting) {
  WorkDir dir;
  // Two hundred entries whose headers each claim 4 GiB: far more than any test disk.
  std::vector<ZipEntry> entries{{"Top/", "", 040755}};
  for (int i = 0; i < 200; ++i)
    entries.push_back({"Top/b" + std::to_string(1000 + i), std::string(1000, 'z'), 0100644});
  buildZip(dir.path() / "p.zip", entries);
  {
    std::fstream f(dir.path() / "p.zip", std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), {});
    for (std::size_t at = bytes.find("PK\1\2"); at != std::string::npos; at = bytes.find("PK\1\2", at + 4)) {
      if (bytes.compare(at + 46, 5, "Top/b") != 0) continue;
      f.seekp(static_cast<std::streamoff>(at + 24));
      f.write("\xf0\xff\xff\xff", 4);  // just under 4 GiB; all ones would mean "see the 64-bit field"
    }
  }
  const Outcome outcome = installPackage(dir, "p.zip");
  EXPECT_EQ(outcome.log.back(), "    Aborting extraction.");
  EXPECT_EQ(outcome.log.end()[-2].rfind("    Not enough free disk space (need 8192", 0), 0u)
      << outcome.log.end()[-2];
  EXPECT_FALSE(dir.exists("game"));
}

TEST(ArchiveFaultsSlow, TenThousandEntriesKeepOneProgressLine) {
  WorkDir dir;
  std::vector<ZipEntry> entries{{"Top/", "", 040755}};
  for (int i = 0; i < 10000; ++i) entries.push_back({"Top/f" + std::to_string(i), "x", 0100644});
  buildZip(dir.path() / "p.zip", entries);
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.serve("/" + testPackage, dir.read("p.zip"));
  Launcher launcher{server.url()};
  std::size_t longestWhileExtracting = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  // Frames go on while the worker extracts, and the log never grows by more than the
  // one progress line.
  while (!(launcher.pipelineIdle() && launcher.currentStage() >= ExtractPackage) &&
         std::chrono::steady_clock::now() < deadline) {
    launcher.update();
    launcher.render();
    if (launcher.currentStage() == ExtractPackage)
      longestWhileExtracting = std::max(longestWhileExtracting, launcher.logLines().size());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  runPipeline(launcher);
  EXPECT_TRUE(launcher.isReadyToLaunch());
  EXPECT_LE(longestWhileExtracting, 11u);  // ten lines before, then the progress line and "Done."
  EXPECT_EQ(launcher.logLines().size(), 12u);
  EXPECT_TRUE(dir.exists("game/f9999"));
}

TEST(DiskFaults, NotEnoughSpaceOnASmallFileSystem) {
  WorkDir dir;
  fs::create_directory(dir.path() / "game");
  if (::mount("tmpfs", (dir.path() / "game").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a small file system here (" << std::strerror(errno) << ")";
  buildZip(dir.path() / "p.zip", {{"Top/", "", 040755}, {"Top/big.bin", std::string((3 << 20) - 8192, 'b'), 0100644}});
  const Outcome outcome = installPackage(dir, "p.zip");
  ::umount((dir.path() / "game").c_str());
  EXPECT_EQ(tail(outcome.log, 2),
            (Lines{"    Not enough free disk space (need 3 MiB, 1 MiB free).", "    Aborting extraction."}));
  EXPECT_FALSE(dir.exists("latest_version.txt"));
}

TEST(DiskFaults, UnwritablePlacesAsAPlayer) {
  asUnprivilegedUser([](const fs::path& assets) {
    bool ok = true;
    {  // A read-only install folder: its folders cannot be made, and nothing is recorded.
      WorkDir dir(assets);
      buildZip(dir.path() / "p.zip", {{"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "x", 0100755}});
      fs::create_directory(dir.path() / "game");
      fs::permissions(dir.path() / "game", fs::perms(0555));
      const Outcome outcome = installPackage(dir, "p.zip");
      ok &= verify(
          tail(outcome.log, 2) == Lines{"    Failed to create directory game/details/", "    Aborting extraction."},
          "read-only game: " + outcome.log.back());
      ok &= verify(!dir.exists("latest_version.txt"), "read-only game: no version recorded");
    }
    {  // A read-only file of an earlier installation is replaced all the same.
      WorkDir dir(assets);
      buildZip(dir.path() / "p.zip", gamePackageEntries((dir.path() / "started").string()));
      dir.write("game/details/Quarvel.exe", "old");
      fs::permissions(dir.path() / "game/details/Quarvel.exe", fs::perms(0444));
      const Outcome outcome = installPackage(dir, "p.zip");
      ok &= verify(outcome.ready, "read-only file: update completes");
      ok &= verify(dir.read("game/details/Quarvel.exe") != "old", "read-only file: replaced");
    }
    {  // A read-only working folder: nothing can be fetched, and the player is told.
      WorkDir dir(assets);
      TestServer server;
      server.serve("/latest_version.txt", testLine);
      fs::permissions(dir.path(), fs::perms(0555));
      const Outcome outcome = runLauncher(server.url());
      fs::permissions(dir.path(), fs::perms(0755));
      ok &= verify(tail(outcome.log, 3) == Lines{"Failed to download file (could not write temp.txt).",
                                                 "    Could not find file temp.txt", contactFailed},
                   "read-only working folder: " + outcome.log.back());
    }
    return ok;
  });
}

}  // namespace
