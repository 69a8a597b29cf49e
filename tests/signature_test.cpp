#include "support/TestSupport.h"

// Builds signed by the studio and checked by a launcher built with its keys: key pairs made by minisign, signatures
// made by quarvel-publish and by the minisign tool, a real server, real packages.
namespace {

const std::string keys = QUARVEL_KEY_DIR, lineB = "1.1 20190402";

// Publishes a build whose program prints program into folder, signed with the named key unless it is empty.
void publish(const WorkDir& dir, const std::string& folder, const std::string& line, const std::string& program,
             const std::string& key) {
  dir.write("build-" + line + "/details/Quarvel.exe", program);
  fs::permissions(dir.path() / ("build-" + line) / "details/Quarvel.exe", static_cast<fs::perms>(0755));
  fs::create_directories(dir.path() / folder);
  std::vector<std::string> args{"build-" + line, line, folder};
  if (!key.empty()) args.insert(args.begin(), {"--sign", keys + "/" + key + ".key"});
  const ToolRun run = runTool(args);
  ASSERT_EQ(run.status, 0) << run.err;
}

// The signature lines of a published version file.
std::string signatureOf(const WorkDir& dir, const std::string& folder) {
  const std::string file = dir.read(folder + "/latest_version.txt");
  return file.substr(file.find('\n') + 1);
}

struct SignedRow {
  std::string name;
  std::function<void(const WorkDir&)> publishToServer;  // into the folder "server"
  Lines tail;
  std::string launcherKeys = publicKey("test");
  bool installedBefore = false;  // 0.9 20190101
  const char* logged = "";       // why it was refused, in the log file
};
void PrintTo(const SignedRow& row, std::ostream* out) { *out << row.name; }
class Signed : public testing::TestWithParam<SignedRow> {};

const Lines notSigned{"Checking for latest version...", "    The update is not signed by the publisher."};
const Lines refusedPackage{"Extracting package...", "    The package does not match the publisher's signature."};

TEST_P(Signed, OnlyWhatTheStudioSignedIsInstalled) {
  const SignedRow& row = GetParam();
  WorkDir dir;
  if (row.installedBefore) dir.write("latest_version.txt", "0.9 20190101"), dir.write("game/details/Quarvel.exe", "old");
  row.publishToServer(dir);
  TestServer server;
  serveFolder(dir.path() / "server", server);
  const auto [log, ready] = runLauncher(LauncherSettings{server.url(), row.launcherKeys});
  EXPECT_EQ(tailOf(log, row.tail), row.tail);
  const bool installs = row.tail == updated;
  EXPECT_EQ(ready, installs || row.installedBefore);
  EXPECT_NE(dir.read("quarvel-launcher.log").find(row.logged), std::string::npos);
  EXPECT_EQ(dir.read("game/details/Quarvel.exe"), installs ? "A" : row.installedBefore ? "old" : "");
  EXPECT_EQ(dir.read("latest_version.txt"), installs ? testLine : row.installedBefore ? "0.9 20190101" : "");
  // A version file that is refused never leads to the package being asked for.
  const bool versionFileRefused = std::ranges::count(row.tail, notSigned.back()) > 0;
  EXPECT_EQ(server.requests().size(), versionFileRefused ? 1u : 2u);
}

const SignedRow signedRows[] = {
    {"SignedByThePublishingToolWithTheNewerOfTwoKeys",
     [](const WorkDir& dir) { publish(dir, "server", testLine, "A", "test"); }, updated,
     publicKey("other") + "," + publicKey("test")},
    {"PackageSwappedForABuildOneByteApart",
     [](const WorkDir& dir) {
       publish(dir, "server", testLine, "A", "test");
       publish(dir, "forged", testLine, "B", "");
       fs::copy_file(dir.path() / "forged" / testPackage, dir.path() / "server" / testPackage,
                     fs::copy_options::overwrite_existing);
     },
     refusedPackage},
    {"VersionFileOfBuildBCarryingBuildASignature",
     [](const WorkDir& dir) {
       publish(dir, "server", testLine, "A", "test");
       const std::string signatureOfA = signatureOf(dir, "server");
       publish(dir, "server", lineB, "B", "test");
       dir.write("server/latest_version.txt", lineB + "\n" + signatureOfA);
     },
     notSigned},
    // Build A's package under B's name, with B's name written into A's trusted comment.
    {"TrustedCommentEditedToNameAnotherBuild",
     [](const WorkDir& dir) {
       publish(dir, "server", testLine, "A", "test");
       std::string signature = signatureOf(dir, "server");
       signature.replace(signature.find(testPackage), testPackage.size(), "quarvel " + lineB + ".zip");
       dir.write("server/latest_version.txt", lineB + "\n" + signature);
       fs::rename(dir.path() / "server" / testPackage, dir.path() / "server" / ("quarvel " + lineB + ".zip"));
     },
     notSigned},
    {"SignedWithAnotherKey", [](const WorkDir& dir) { publish(dir, "server", testLine, "A", "other"); }, notSigned},
    // A legacy signature covers the whole file rather than its hash; the log says so rather than "no signature".
    {"LegacySignatureIsRefusedWithItsOwnReason",
     [](const WorkDir& dir) {
       publish(dir, "server", testLine, "A", "");
       const std::string package = (dir.path() / "server" / testPackage).string();
       const ToolRun run = runProgram("minisign", {"-S", "-l", "-s", keys + "/test.key", "-m", package});
       ASSERT_EQ(run.status, 0) << run.err;
       dir.write("server/latest_version.txt", testLine + "\n" + dir.read("server/" + testPackage + ".minisig"));
     },
     notSigned, publicKey("test"), false, "refused: the version file is signed in minisign's legacy mode; sign without -l"},
    {"UnsignedKeepsTheInstalledBuildPlayable", [](const WorkDir& dir) { publish(dir, "server", testLine, "A", ""); },
     notSigned + Lines{"Continuing to use installed version (0.9_20190101).", "Quarvel version 0.9_20190101 is ready to play!"},
     publicKey("test"), true},
};
INSTANTIATE_TEST_SUITE_P(Publisher, Signed, testing::ValuesIn(signedRows), rowName);

// A connection cut half-way: the signed package is continued and installed, with a line that says so; the same cut
// with a forged tail served on the resumed range is refused, since the digest covers the file from its first byte.
TEST(SignedDownload, AResumedPackageIsCheckedWhole) {
  for (const bool forged : {false, true}) {
    WorkDir dir;
    publish(dir, "server", testLine, "A", "test");
    TestServer server;
    serveFolder(dir.path() / "server", server);
    std::string package = dir.read("server/" + testPackage), tail = package;
    tail[package.size() - 30] ^= 1;
    server.on("/" + testPackage, {.kind = Reply::Ranged, .body = package, .drops = 1, .dropAfter = package.size() / 2,
                                  .forgedTail = forged ? tail : ""});
    const auto [log, ready] = runLauncher(LauncherSettings{server.url(), publicKey("test")});
    EXPECT_EQ(tailOf(log, refusedPackage), forged ? refusedPackage : Lines({"    Done.", upToDate}));
    EXPECT_EQ(std::ranges::count(log, "    The connection dropped; the download goes on where it stopped."), 1);
    EXPECT_EQ(server.ranges().back(), "bytes=" + std::to_string(package.size() / 2) + "-");
  }
}

}  // namespace
