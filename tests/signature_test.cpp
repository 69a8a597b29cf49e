#include "support/TestSupport.h"

// Builds signed by the studio and checked by a launcher built with its keys: key pairs made by minisign, signatures
// made by quarvel-publish and by the minisign tool, a real server, real packages.
namespace {

const std::string keys = QUARVEL_KEY_DIR, lineB = "1.1 20190402";

// Publishes into the folder "server" a build whose program prints program, signed with the named key unless it is empty.
void publish(const WorkDir& dir, const std::string& line, const std::string& program, const std::string& key) {
  dir.write("build-" + line + "/details/Quarvel.exe", program);
  fs::permissions(dir.path() / ("build-" + line) / "details/Quarvel.exe", static_cast<fs::perms>(0755));
  fs::create_directories(dir.path() / "server");
  const Lines signing = key.empty() ? Lines{} : Lines{"--sign", keys + "/" + key + ".key"};
  const ToolRun run = runTool(signing + Lines{"build-" + line, line, "server"});
  ASSERT_EQ(run.status, 0) << run.err;
}

const std::string exe = "game/details/Quarvel.exe", test = publicKey("test");
const Lines notSigned{"Checking for latest version...", "    The update is not signed by the publisher."};
const Lines refusedPackage{"Extracting package...", "    The package does not match the publisher's signature."};
// What game/ holds after; a version file that is refused never leads to the package being fetched either.
const std::vector<FileCheck> installedA{{exe, "A"}}, notFetched{{exe, std::nullopt}, {testPackage, std::nullopt}};

// The test build, whose program is "A", published as above; the launcher is served the folder "server".
SetUp published(const std::string& key) {
  return [key](WorkDir& dir, std::string&) { publish(dir, testLine, "A", key); };
}

const PackageRow signedRows[] = {
    {.name = "SignedByThePublishingToolWithTheNewerOfTwoKeys", .tail = updated, .files = installedA,
     .setUp = published("test"), .keys = publicKey("other") + "," + test},
    {.name = "VersionFileOfBuildBCarryingBuildASignature", .tail = notSigned, .files = notFetched,
     .setUp = [](WorkDir& dir, std::string&) {
       publish(dir, testLine, "A", "test");
       const std::string signatureOfA = dir.read("server/latest_version.txt").substr(testLine.size() + 1);
       publish(dir, lineB, "B", "test");
       dir.write("server/latest_version.txt", lineB + "\n" + signatureOfA);
     }, .keys = test},
    // Build A's package under B's name, with B's name written into A's trusted comment.
    {.name = "TrustedCommentEditedToNameAnotherBuild", .tail = notSigned, .files = notFetched,
     .setUp = [](WorkDir& dir, std::string&) {
       publish(dir, testLine, "A", "test");
       std::string signature = dir.read("server/latest_version.txt").substr(testLine.size() + 1);
       signature.replace(signature.find(testPackage), testPackage.size(), "quarvel " + lineB + ".zip");
       dir.write("server/latest_version.txt", lineB + "\n" + signature);
       fs::rename(dir.path() / "server" / testPackage, dir.path() / "server" / ("quarvel " + lineB + ".zip"));
     }, .keys = test},
    {.name = "SignedWithAnotherKey", .tail = notSigned, .files = notFetched, .setUp = published("other"), .keys = test},
    // A legacy signature covers the whole file rather than its hash; the log says so rather than "no signature".
    {.name = "LegacySignatureIsRefusedWithItsOwnReason", .tail = notSigned, .files = notFetched,
     .setUp = [](WorkDir& dir, std::string&) {
       publish(dir, testLine, "A", "");
       const ToolRun run = runProgram("minisign", {"-S", "-l", "-s", keys + "/test.key", "-m", "server/" + testPackage});
       ASSERT_EQ(run.status, 0) << run.err;
       dir.write("server/latest_version.txt", testLine + "\n" + dir.read("server/" + testPackage + ".minisig"));
     },
     .logged = "refused: the version file is signed in minisign's legacy mode; sign without -l", .keys = test},
    {.name = "UnsignedKeepsTheInstalledBuildPlayable",
     .tail = notSigned + Lines{"Continuing to use installed version (0.9_20190101).",
                               "Quarvel version 0.9_20190101 is ready to play!"},
     .files = {{exe, "old"}, {testPackage, std::nullopt}},
     .setUp = [](WorkDir& dir, std::string&) {
       dir.write("latest_version.txt", "0.9 20190101");
       dir.write(exe, "old");
       publish(dir, testLine, "A", "");
     }, .keys = test},
};
INSTANTIATE_TEST_SUITE_P(Publisher, Packages, testing::ValuesIn(signedRows), rowName);

// A connection cut half-way and a forged tail served on the resumed range: refused before anything is installed, since
// the digest covers the file from its first byte.
TEST(SignedDownload, AResumedPackageIsCheckedWhole) {
  WorkDir dir;
  publish(dir, testLine, "A", "test");
  TestServer server;
  serveFolder(dir.path() / "server", server);
  std::string package = dir.read("server/" + testPackage), tail = package;
  tail[package.size() - 30] ^= 1;
  server.on("/" + testPackage, {.kind = Reply::Ranged, .body = package, .drops = 1, .dropAfter = package.size() / 2,
                                .forgedTail = tail});
  EXPECT_EQ(tailOf(runLauncher(LauncherSettings{server.url(), test}).first, refusedPackage), refusedPackage);
  EXPECT_FALSE(dir.exists(exe));
}

}  // namespace
