#include "package/PatchManifest.h"
#include "support/TestSupport.h"

#include <cstring>

// Patch updates: real builds published by quarvel-publish with --patch-from (real zstd deltas), served by the
// in-process server, applied by the launcher, and compared with the build itself.
namespace {

const std::string lineA = "1.0 20190101", lineB = "1.1 20190315",
                  patchB = "quarvel 1.1 20190315 patch from 1.0 20190101.zip", keys = QUARVEL_KEY_DIR;

// Bytes that compress poorly, the same for the same seed.
std::string noise(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  return bytes;
}

void writeBuild(const WorkDir& dir, const std::string& name, const std::map<std::string, std::string>& files) {
  for (const auto& [path, contents] : files) dir.write(name + "/" + path, contents);
  fs::permissions(dir.path() / name / "details/Quarvel.exe", static_cast<fs::perms>(0755));
}

// A: an archive file of 3 MiB and a few small ones. B: a few KiB of the archive changed and some inserted, shifting
// the rest; a small file changed; one new file in a new folder; one file the same; the program made read-only; a
// folder become a file and a file become a folder; a new file with group write and a new empty folder.
const std::string pak = noise(3 << 20, 7);
std::string changedPak() {
  std::string bytes = pak;
  bytes.replace(1 << 20, 4096, noise(4096, 9));
  return bytes.insert(2 << 20, noise(3000, 11));
}
const std::map<std::string, std::string> buildA{{"details/Quarvel.exe", "#!/bin/sh\necho A\n"},
                                                {"data/level.pak", pak},
                                                {"data/notes.txt", "first notes"},
                                                {"data/same.bin", noise(200000, 3)},
                                                {"data/x/old.txt", "a folder that becomes a file"},
                                                {"data/y", "a file that becomes a folder"}};
const std::map<std::string, std::string> buildB{{"details/Quarvel.exe", "#!/bin/sh\necho B\n"},
                                                {"data/level.pak", changedPak()},
                                                {"data/notes.txt", "second notes, longer"},
                                                {"data/same.bin", noise(200000, 3)},
                                                {"data/x", "a file where a folder was"},
                                                {"data/y/z.txt", "in a folder where a file was"},
                                                {"maps/new/one.map", noise(5000, 5)},
                                                {"readme.txt", "read me"}};


// Every file and folder below root: its path, a hash of its bytes and its mode.
std::map<std::string, std::pair<std::size_t, unsigned>> treeOf(const fs::path& root) {
  std::map<std::string, std::pair<std::size_t, unsigned>> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    tree[fs::relative(entry.path(), root).string()] = {std::hash<std::string>()(slurp(entry.path())), modeOf(entry.path())};
  return tree;
}

struct PatchRow {
  std::string name;
  std::function<void(WorkDir&)> change;  // after A is installed and B published, before the update
  Lines tail;                            // the log's last lines
  std::vector<std::string> requests;     // after the version file
  bool signedWithTestKey = false;  // both builds, and the launcher trusts that key alone
  std::string checkSays = "";      // what quarvel-publish --check with that key says of the patch
};
void PrintTo(const PatchRow& row, std::ostream* out) { *out << row.name; }
class Patches : public testing::TestWithParam<PatchRow> {};

const std::string patchPath = "/quarvel%201.1%2020190315%20patch%20from%201.0%2020190101.zip",
                  packagePath = "/quarvel%201.1%2020190315.zip";
const std::string applying = "    Applying a patch to the installed build: only what changed was downloaded.";
const Lines patched{"Downloading package \"" + patchB + "\"...", "*", "Extracting package...", applying,
                    "    Extracting file 7 / 7 (100%): files/readme.txt", "    Done.", upToDate};
const Lines baseNotOwn{applying, "    game/data/level.pak is not the installed build's own; getting the whole build instead.",
                        "Downloading package \"quarvel 1.1 20190315.zip\"...", "    Downloaded 3 MiB.",
                        "Extracting package...", "*", "    Done.", upToDate};
const Lines wholePackage{"    Extracting file 15 / 15 (100%): Quarvel/saves/", "    Done.", upToDate};

// The patch's manifest as edit leaves it.
void editManifest(WorkDir& dir, const std::function<void(std::string&)>& edit) {
  zip_t* archive = zip_open((dir.path() / "server" / patchB).c_str(), 0, nullptr);
  const auto index = static_cast<zip_uint64_t>(zip_name_locate(archive, patchManifestEntry, 0));
  static std::string manifest;  // the archive reads it when it is closed
  manifest.resize(1 << 16);
  zip_file_t* file = zip_fopen_index(archive, index, 0);
  manifest.resize(static_cast<std::size_t>(zip_fread(file, manifest.data(), manifest.size())));
  zip_fclose(file);
  edit(manifest);
  zip_file_replace(archive, index, zip_source_buffer(archive, manifest.data(), manifest.size(), 0), 0);
  ASSERT_EQ(zip_close(archive), 0);
}

// The published version file with the first from in it replaced by to.
std::function<void(WorkDir&)> versionFileWith(const std::string& from, const std::string& to) {
  return [=](WorkDir& dir) {
    std::string file = dir.read("server/latest_version.txt");
    dir.write("server/latest_version.txt", file.replace(file.find(from), from.size(), to));
  };
}

// Build A published and installed whole, then B published with a patch from A; after the row's change the launcher
// updates to B, by the patch or the whole package, and game/ then holds B's files with B's modes.
TEST_P(Patches, LeaveTheSameBuildAsThePackage) {
  const PatchRow& row = GetParam();
  WorkDir dir;
  TestServer server;
  writeBuild(dir, "build-a", buildA);
  writeBuild(dir, "build-b", buildB);
  fs::permissions(dir.path() / "build-b/details/Quarvel.exe", static_cast<fs::perms>(0555));
  fs::permissions(dir.path() / "build-b/readme.txt", static_cast<fs::perms>(0620));
  fs::create_directories(dir.path() / "build-b/saves");
  Lines options = row.signedWithTestKey ? Lines{"--sign", keys + "/test.key"} : Lines{};
  const auto publish = [&](const std::string& build, const std::string& line) {
    const ToolRun run = runTool(options + Lines{build, line, "server"});
    ASSERT_EQ(run.status, 0) << run.err;
  };
  fs::create_directories(dir.path() / "server");
  publish("build-a", lineA);
  serveFolder(dir.path() / "server", server);
  ASSERT_TRUE(runLauncher(server.url()).second);
  options.insert(options.end(), {"--patch-from", "server/quarvel " + lineA + ".zip"});
  publish("build-b", lineB);
  row.change(dir);
  serveFolder(dir.path() / "server", server);

  if (!row.checkSays.empty()) {
    const ToolRun check = runTool({"--check", server.url(), "--key", keys + "/test.pub"});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find(row.checkSays), std::string::npos) << check.out;
  }
  const LauncherSettings launcher{server.url(), row.signedWithTestKey ? publicKey("test") : ""};
  EXPECT_EQ(tailOf(runLauncher(launcher).first, row.tail), row.tail);
  const Lines requests = Lines{"/latest_version.txt"} + row.requests;
  EXPECT_EQ(tailOf(server.requests(), requests), requests);
  EXPECT_EQ(dir.exists("quarvel " + lineA + ".zip"), row.tail.back() != upToDate);  // recorded B leaves no A behind
  if (row.tail.back() != upToDate) {  // refused with the record kept: the next start installs the package
    EXPECT_EQ(dir.read(updateRecordName), lineB);
    EXPECT_EQ(tailOf(runLauncher(server.url()).first, wholePackage), wholePackage);
  }
  auto expected = treeOf(dir.path() / "build-b");
  expected["details/Quarvel.exe"].second = 0755;  // the owner can always replace what is installed
  EXPECT_EQ(treeOf(dir.path() / "game"), expected);
  EXPECT_FALSE(dir.exists(updateRecordName));
}

const PatchRow patchRows[] = {
    {"SignedPatchOverTheInstalledBuild", [](WorkDir&) {}, patched, {patchPath}, true,
     "ok: '" + patchB + "' patches '1.0 20190101' (7 files, "},
    // Signed by another key alone: launchers that trust only the old one get the whole build, and --check says so.
    {"PatchSignedByAnotherKeyGetsThePackage", [](WorkDir& dir) {
       ASSERT_EQ(runProgram("minisign", {"-S", "-s", keys + "/other.key", "-m", "server/" + patchB}).status, 0);
       std::string file = dir.read("server/latest_version.txt");
       file.replace(file.find('\n', file.find("patch: ")) + 1, std::string::npos, dir.read("server/" + patchB + ".minisig"));
       dir.write("server/latest_version.txt", file);
     }, wholePackage, {packagePath}, true,
     "note: '" + patchB + "' is not signed by key '" + keys + "/test.pub', so launchers built with that key alone download "
     "the whole build instead"},
    // The manifest names another hash for the decoded archive file: the delta decodes, and its result is refused.
    {"DeltaWhoseResultDoesNotMatchIsRefused", [](WorkDir& dir) {
       editManifest(dir, [](std::string& manifest) {
         const std::size_t hash = manifest.rfind(' ', manifest.find(" data/level.pak") - 1) + 1;  // the new hash
         manifest[hash] = manifest[hash] == '0' ? '1' : '0';
       });
     }, {"    Failed to patch file game/data/level.pak", aborting}, {patchPath}},
    // The same size: only the hash of the installed file tells, before anything is written.
    {"BaseFileEditedInPlaceGetsThePackage", [](WorkDir& dir) {
       std::string edited = dir.read("game/data/level.pak");
       edited[edited.size() / 2] ^= 1;
       dir.write("game/data/level.pak", edited);
     }, baseNotOwn, {patchPath, packagePath}},
    // Setuid, setgid and sticky bits asked for every folder and file: the result has the package's modes.
    {"SpecialModeBitsAreDropped", [](WorkDir& dir) {
       editManifest(dir, [](std::string& manifest) {
         for (const char* kind : {"\nfolder ", "\nwhole ", "\ndelta "})
           for (auto at = manifest.find(kind); at != std::string::npos; at = manifest.find(kind, at + 1))
             manifest.insert(at + std::strlen(kind), "7");
       });
     }, patched, {patchPath}},
    // A patch announced under any other name is not fetched: only the one name a patch from the installed build to
    // this one has is taken, since the patch lands in the launcher's folder (where a server could name its font).
    {"PatchUnderAnotherNameIsNotFetched", versionFileWith(patchB, "x y.zip"), wholePackage, {packagePath}},
    {"BaseNotAnnouncedGetsThePackage", versionFileWith("patch: 1.0", "patch: 0.9"), wholePackage, {packagePath}},
};
INSTANTIATE_TEST_SUITE_P(Publisher, Patches, testing::ValuesIn(patchRows), rowName);

}  // namespace
