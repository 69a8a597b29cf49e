#include "support/TestSupport.h"
#include "package/Rollout.h"
#include "update/UpdateRun.h"

#include <thread>

// Releases a studio steers with quarvel-publish: a staged rollout, halted and widened; a build older than the
// installed one, or an answer past its life, refused with signing on; a second host when the first fails.
namespace {

const std::string keyDir = QUARVEL_KEY_DIR, lineB = "1.1 20190402", test = publicKey("test");
const std::string versionA = "1.0_20190315", versionB = "1.1_20190402", exe = "game/details/Quarvel.exe";

// Publishes into dir/folder, signed with the test key, a build whose program prints program.
void publish(const WorkDir& dir, const std::string& line, const std::string& program, std::vector<std::string> options,
             const std::string& folder = "server") {
  dir.write("build-" + line + "/details/Quarvel.exe", program);
  fs::permissions(dir.path() / ("build-" + line) / "details/Quarvel.exe", static_cast<fs::perms>(0755));
  fs::create_directories(dir.path() / folder);
  options.insert(options.begin(), {"--sign", keyDir + "/test.key"});
  options.insert(options.end(), {"build-" + line, line, folder});
  const ToolRun run = runTool(options);
  ASSERT_EQ(run.status, 0) << run.err;
}

// Stages 1 and 2 of a start in the current folder: the build it takes, and with install, its record as an update
// would leave it (the package itself is not fetched).
std::string takenBuild(const std::string& url, bool install = false) {
  UpdateSettings settings{url, signing::parsePublicKeys(test), true};
  settings.stageDelay = Milliseconds(0);
  UpdateState state;
  Recording report;
  StopToken stop;
  UpdateRun run{settings, state, report, stop};
  update::checkInstalledVersion(run);
  if (update::checkLatestVersion(run) == DownloadPackage && install) update::reportReady(run);
  return state.latestVersion.version;
}

// 200 launcher folders, each with a number of its own (as a first start draws it), and the build each takes.
struct Players {
  explicit Players(const WorkDir& dir) : root(dir.path() / "players") {
    for (int i = 0; i < 200; ++i) {
      fs::create_directories(root / std::to_string(i));
      if (i > 0) std::ofstream(root / std::to_string(i) / rolloutNumberName) << std::string(28, '0') << 1000 + i;
    }
  }
  std::vector<std::string> start(const std::string& url, bool install = false) {
    std::vector<std::string> taken;
    for (int i = 0; i < 200; ++i) {
      fs::current_path(root / std::to_string(i));
      taken.push_back(takenBuild(url, install));
    }
    fs::current_path(root.parent_path());
    return taken;
  }
  fs::path root;
};
double shareOfB(const std::vector<std::string>& taken) { return std::ranges::count(taken, versionB) / 2.0; }

TEST(Rollout, ReachesItsShareOfFoldersStablyAndAHaltKeepsTheBuildWhereItIsInstalled) {
  WorkDir dir;
  publish(dir, testLine, "A", {});
  publish(dir, lineB, "B", {"--rollout", "10"});
  TestServer server;
  serveFolder(dir.path() / "server", server);
  Players players(dir);
  const auto atTen = players.start(server.url(), true);
  EXPECT_NEAR(shareOfB(atTen), 10, 5);
  EXPECT_EQ(atTen, players.start(server.url()));  // the first folder drew its number at the first start and kept it
  EXPECT_TRUE(fs::exists(players.root / "0" / rolloutNumberName));

  ASSERT_EQ(runTool({"--halt", "--sign", keyDir + "/test.key", "server"}).status, 0);
  serveFolder(dir.path() / "server", server);
  EXPECT_EQ(players.start(server.url()), atTen);  // those with the build keep it, nobody else gets it

  publish(dir, lineB, "B", {"--rollout", "50"});
  serveFolder(dir.path() / "server", server);
  const auto atFifty = players.start(server.url());
  EXPECT_NEAR(shareOfB(atFifty), 50, 5);
  for (std::size_t i = 0; i < atTen.size(); ++i) EXPECT_TRUE(atTen[i] == versionA || atFifty[i] == versionB) << i;

  publish(dir, lineB, "B", {});
  serveFolder(dir.path() / "server", server);
  EXPECT_EQ(shareOfB(players.start(server.url())), 100);
  // Another build's rollout reaches other folders first.
  int both = 0;
  for (int i = 1; i < 200; ++i) {
    const std::string number = std::string(28, '0') + std::to_string(1000 + i);
    both += rolloutPlace(number, lineB) < 10 && rolloutPlace(number, "1.2 20190501") < 10;
  }
  EXPECT_LT(both, 8);
}

// With signing on, a rollout the publisher did not sign counts for nothing, and without signing the line decides.
TEST(Rollout, AnUnsignedAnnouncementCannotHoldSignedPlayersBack) {
  WorkDir dir;
  publish(dir, testLine, "A", {});
  publish(dir, lineB, "B", {});
  dir.write("server/latest_version.txt", dir.read("server/latest_version.txt") + "rollout: 0 " + testLine + "\n");
  TestServer server;
  serveFolder(dir.path() / "server", server);
  EXPECT_EQ(takenBuild(server.url()), versionB);
  const Lines log = runLauncher(server.url()).first;
  EXPECT_EQ(std::ranges::count(log, "    Latest version is 1.0_20190315 (built 15 March, 2019)."), 1);
}

const Lines refusedOlder{"Checking for latest version...",
                         "    The server offers an older build (1.0_20190315); it is not installed.",
                         "Continuing to use installed version (1.1_20190402).", "Quarvel version 1.1_20190402 is ready to play!"};

// An older signed answer replayed after an update, even renewed, is refused and the installed build stays; the same
// build published again, newer, takes players back.
TEST(Downgrade, AnOlderSignedAnswerIsRefusedUntilTheStudioPublishesItAgain) {
  WorkDir dir;
  publish(dir, testLine, "A", {}, "old");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // signatures count whole seconds
  publish(dir, lineB, "B", {});
  TestServer server;
  serveFolder(dir.path() / "server", server);
  const LauncherSettings settings{server.url(), test};
  EXPECT_EQ(tailOf(runLauncher(settings).first, updated), updated);
  // Renewed, the old answer keeps the time it was signed at: still older.
  ASSERT_EQ(runTool({"--renew", "--sign", keyDir + "/test.key", "--valid-for", "1", "old"}).status, 0);
  serveFolder(dir.path() / "old", server);
  const auto [log, ready] = runLauncher(settings);
  EXPECT_EQ(tailOf(log, refusedOlder), refusedOlder);
  EXPECT_EQ(dir.read(exe), "B");
  EXPECT_NE(dir.read("quarvel-launcher.log").find("refused: quarvel 1.0 20190315.zip was signed at "), std::string::npos);

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  publish(dir, testLine, "A", {});
  serveFolder(dir.path() / "server", server);
  EXPECT_EQ(tailOf(runLauncher(settings).first, updated), updated);
  EXPECT_EQ(dir.read(exe), "A");
  // A package that someone else put into the folder is never signed again.
  dir.write("old/" + testPackage, "not the studio's");
  const ToolRun renewal = runTool({"--renew", "--sign", keyDir + "/test.key", "--valid-for", "1", "old"});
  EXPECT_NE(renewal.err.find("is not the file that the given keys signed"), std::string::npos) << renewal.err;
}

// An answer signed by minisign itself with an expiry in its trusted comment: past it, no answer at all.
TEST(Expiry, AnAnswerPastItsLifeIsNoAnswerAndOneWithinItIsTaken) {
  WorkDir dir;
  publish(dir, testLine, "A", {"--valid-for", "1"});
  dir.write("latest_version.txt", "0.9 20190101");
  dir.write(exe, "old");
  TestServer server;
  serveFolder(dir.path() / "server", server);
  const std::string package = (dir.path() / "server" / testPackage).string();
  const ToolRun signing = runProgram("minisign", {"-S", "-s", keyDir + "/test.key", "-m", package, "-t",
                                                  "timestamp:1000\tfile:" + testPackage + "\thashed\texpires:86400"});
  ASSERT_EQ(signing.status, 0) << signing.err;
  const std::string current = dir.read("server/latest_version.txt");
  server.serve("/latest_version.txt", testLine + "\n" + dir.read("server/" + testPackage + ".minisig"));
  const Lines noAnswer{"Checking for latest version...", contactFailed, "Continuing to use installed version (0.9_20190101).",
                       "Quarvel version 0.9_20190101 is ready to play!"};
  EXPECT_EQ(tailOf(runLauncher(LauncherSettings{server.url(), test}).first, noAnswer), noAnswer);
  EXPECT_NE(dir.read("quarvel-launcher.log").find("refused: the server's answer expired at 1970-01-02 00:00:00 UTC"),
            std::string::npos);
  server.serve("/latest_version.txt", current);
  EXPECT_EQ(tailOf(runLauncher(LauncherSettings{server.url(), test}).first, updated), updated);
}

struct HostRow {
  const char* name;
  Reply first;
  bool down = false;       // nothing listens at the first address
  bool forged = false;     // the second serves another build under the signed one's name
  const char* failure;     // the first host's failure, as the log file names it
};
void PrintTo(const HostRow& row, std::ostream* out) { *out << row.name; }
class Hosts : public testing::TestWithParam<HostRow> {};

TEST_P(Hosts, TheSecondServesWhenTheFirstFailsAndNeedsNoTrust) {
  const HostRow& row = GetParam();
  WorkDir dir;
  publish(dir, testLine, "A", {});
  if (row.forged) publish(dir, testLine, "B", {"--force"}, "forged");
  TestServer first, second;
  first.on("/latest_version.txt", row.first);
  serveFolder(dir.path() / "server", second);
  if (row.forged) second.serve("/" + testPackage, dir.read("forged/" + testPackage));
  const std::string firstUrl = row.down ? "127.0.0.1:1/" : first.url();
  const auto [log, ready] = runLauncher(LauncherSettings{firstUrl + "," + second.url(), test});
  const Lines expected = row.forged ? Lines{"Extracting package...", "    The package does not match the publisher's signature."}
                                    : updated;
  EXPECT_EQ(tailOf(log, expected), expected);
  EXPECT_EQ(dir.read(exe), row.forged ? "" : "A");
  const std::string logFile = dir.read("quarvel-launcher.log");
  EXPECT_NE(logFile.find("the server " + firstUrl + " did not answer (" + row.failure), std::string::npos) << logFile;
  EXPECT_EQ(std::ranges::count(second.requests(), "/quarvel%201.0%2020190315.zip"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    FirstHost, Hosts,
    testing::Values(HostRow{"down", {}, true, false, "libcurl 7 (Failed to connect to 127.0.0.1 port 1"},
                    HostRow{"not_found", {Reply::Missing}, false, false, "libcurl 0 (No error), HTTP 404"},
                    HostRow{"unavailable", {.kind = Reply::Missing, .status = 503}, false, false,
                            "libcurl 0 (No error), HTTP 503"},
                    HostRow{"second_forged", {}, true, true, "libcurl 7 (Failed to connect"}),
    rowName);

}  // namespace
