#include "support/TestSupport.h"
#include "base/LauncherAssets.h"

// The publishing tool, run as a program in a work folder that holds a build and a server folder.
namespace {

const std::string line1 = "1.0 20261205", line2 = "1.1 20261206", package1 = "quarvel 1.0 20261205.zip";

// Every name below dir with its modification time, mode and contents: any write shows.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    state[fs::relative(entry.path(), dir)] = std::to_string(entry.last_write_time().time_since_epoch().count()) + " " +
                                             std::to_string(modeOf(entry.path())) + " " + slurp(entry.path());
  return state;
}

class Publish : public testing::Test {
 protected:
  Publish() { makeBuild("build"), fs::create_directory(server); }
  // Group write on the readme: a mode bit the package keeps, so a change of it alone makes another build.
  void makeBuild(const std::string& name) const {
    dir.write(name + "/details/Quarvel.exe", "#!/bin/sh\necho playing\n");
    dir.write(name + "/data/maps/b.map", "map b");
    dir.write(name + "/data/maps/a.map", "map a");
    dir.write(name + "/data/level1.txt", std::string(200000, 'x'));
    dir.write(name + "/readme.txt", "read me");
    fs::create_directories(dir.path() / name / "saves");
    fs::permissions(dir.path() / name / "details/Quarvel.exe", static_cast<fs::perms>(0755));
    fs::permissions(dir.path() / name / "readme.txt", static_cast<fs::perms>(0620));
  }
  // A launcher's folder as a build leaves it, from a build made without keys: it has no keys file.
  void makeKeylessLauncher(const std::string& name) const {
    fs::create_directories(dir.path() / name / "linux");
    for (const char* asset : launcherAssets) fs::copy(fs::path(QUARVEL_ASSET_DIR) / asset, dir.path() / name / "linux" / asset);
    dir.write(name + "/linux/quarvel-launcher", "#!/bin/sh\n");
    fs::permissions(dir.path() / name / "linux/quarvel-launcher", static_cast<fs::perms>(0755));
    dir.write(name + "/linux/" + launcherVersionFileName, formatLauncherVersion("9.0.0"));
  }
  static ToolRun publish(const std::string& line) { return runTool({"build", line, "server"}); }
  std::string served(const std::string& name) const { return dir.read("server/" + name); }

  // Each refusal is one line on stderr and leaves every file in the work folder as it was.
  void expectRefused(const std::vector<std::string>& args, const std::string& reason) const {
    const auto before = snapshot(dir.path());
    const ToolRun run = runTool(args);
    EXPECT_EQ(run.status, 1) << args[1];
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(snapshot(dir.path()), before) << args[1];
  }

  WorkDir dir;
  fs::path build = dir.path() / "build", server = dir.path() / "server";
};

TEST_F(Publish, RefusesUnusableLinesBuildsAndServerFoldersWithoutTouchingThem) {
  ASSERT_EQ(publish(line1).status, 0);
  makeBuild("not-executable");
  fs::permissions(dir.path() / "not-executable/details/Quarvel.exe", static_cast<fs::perms>(0644));
  makeBuild("with-link");
  fs::create_symlink("level1.txt", dir.path() / "with-link/data/link.txt");
  fs::create_directories(dir.path() / "no-program/data");
  dir.write("launcher/linux/quarvel-launcher", "a launcher, not executable");
  makeBuild("with-launcher");
  fs::create_directories(dir.path() / "with-launcher/launcher");
  makeKeylessLauncher("keyless");
  makeKeylessLauncher("stray");
  dir.write("stray/linux/quarvel-publish", "a tool that is no part of a launcher");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"build", "1.0 2026120", "server"}, "is 11 characters, not 12"},
      {{"build", "1.0 20260005", "server"}, "has the month '00', not 01 to 12"},
      {{"build", "1.0 20261305", "server"}, "has the month '13'"},
      {{"build", "1/0 20261205", "server"}, "holds '/', a folder"},
      {{"build", "1.0\t20261205", "server"}, "holds a control character"},
      {{"build", "1#0 20261205", "server"}, "holds '#'"},
      {{"build", "1%0 20261205", "server"}, "holds '%'"},
      {{"build", "1:0 20261205", "server"}, "makes a package file name that launchers refuse to write"},
      {{"no-program", line2, "server"}, "has no details/Quarvel.exe"},
      {{"nowhere", line2, "server"}, "'nowhere' does not exist or is not a folder"},
      {{"not-executable", line2, "server"}, "is not executable"},
      {{"with-link", line2, "server"}, "link.txt' is a symbolic link"},
      {{"build", line2, "no-server"}, "'no-server' does not exist or is not a folder"},
      {{"build", line2, "build/data"}, "lies inside the build folder"},
      {{"--rollout", "10", "build", line1, "server"}, "'1.0 20261205' is already out to every player"},
      {{"--halt", "server"}, "is out to every player: there is no rollout to halt"},
      {{"--launcher", "launcher", "build", line2, "server"}, "quarvel-launcher' is not executable"},
      {{"--launcher", "build", "build", line2, "server"}, "holds neither a linux nor a windows folder"},
      {{"--launcher", "launcher", "with-launcher", line2, "server"}, "has a launcher folder of its own"},
      {{"--launcher", "stray", "build", line2, "server"}, "'quarvel-publish' is no part of a launcher"},
      {{"--sign", std::string(QUARVEL_KEY_DIR) + "/test.key", "--launcher", "keyless", "build", line2, "server"},
       "checks no publisher signature (its quarvel-launcher.keys names no key)"},
  };
  for (const auto& [args, reason] : cases) expectRefused(args, reason);
  if (::geteuid() != 0) {  // root writes to any folder
    fs::permissions(server, static_cast<fs::perms>(0555));
    expectRefused({"build", line2, "server"}, "'server' is not writable");
  }
}

TEST_F(Publish, ServesFilesEveryoneCanReadKeepsOlderPackagesAndReplacesOnlyWithForce) {
  // A strict umask must not keep the web server, which usually runs as another user, from reading it.
  const mode_t previousUmask = ::umask(077);
  ASSERT_EQ(publish(line1).status, 0);
  ::umask(previousUmask);
  EXPECT_EQ(served("latest_version.txt"), line1);  // the 12 characters, no line end
  EXPECT_EQ(snapshot(server).size(), 2u);          // no temporary file is left behind
  for (auto name : {package1.c_str(), "latest_version.txt"}) EXPECT_EQ(modeOf(server / name), 0644u) << name;

  const std::string first = snapshot(server)[package1];  // its time, mode and contents
  ASSERT_EQ(publish(line1).status, 0);                   // the same build again is kept as it is
  EXPECT_EQ(snapshot(server)[package1], first);

  dir.write("build/details/Quarvel.exe", "#!/bin/sh\necho version 2\n");
  ASSERT_EQ(publish(line2).status, 0);
  // A change of mode alone, or data that only grew at the end, is another build.
  fs::permissions(build / "readme.txt", static_cast<fs::perms>(0644));
  expectRefused({"build", line2, "server"}, "already exists with other contents; use --force");
  fs::permissions(build / "readme.txt", static_cast<fs::perms>(0620));
  dir.write("build/data/maps/a.map", "map a, extended");
  expectRefused({"build", line2, "server"}, "already exists with other contents; use --force");

  const std::string second = served("quarvel 1.1 20261206.zip");
  ASSERT_EQ(runTool({"--force", "build", line2, "server"}).status, 0);
  EXPECT_NE(served("quarvel 1.1 20261206.zip"), second);
  EXPECT_EQ(snapshot(server)[package1], first);
}

// Each problem a server can have, as --check names it; a clean folder is checked against nginx over HTTPS.
TEST_F(Publish, CheckNamesEveryProblem) {
  ASSERT_EQ(publish(line1).status, 0);
  const Reply version{Reply::Body, line1 + "\n"}, package{Reply::Body, served(package1)};
  const auto zip = [](const std::vector<ZipEntry>& entries) { return Reply{Reply::Body, zipArchive(entries)}; };
  const ZipEntry details{"Top/details/", "", 040755}, program{"Top/details/Quarvel.exe", "#!/bin/sh\n", 0100755};
  const std::tuple<Reply, Reply, std::string> cases[] = {
      {{Reply::Redirect}, package, "latest_version.txt answers 302 (a redirect, which the launcher does not follow)"},
      {{Reply::Body, "1.0 202612050\n"}, package, "the version line '1.0 202612050' is 13 characters, not 12"},
      {version, {Reply::Missing}, "'" + package1 + "' answers 404"},
      {version, {Reply::Body, "<html><body>Welcome</body></html>"}, "the package does not open as a zip archive"},
      {version, zip({top, details, program, {"Top/data/a.txt", "a", 0100644}, {"Top/data/", "", 040755}}),
       "'Top/data/a.txt' comes before its folder's entry, so the launcher skips it"},
      {version, zip({top, details, program, {"Top/../evil.txt", "x", 0100644}}),
       "the launcher stops the extraction at the unsafe name 'Top/../evil.txt'"},
      {version, zip({top, {"Top/data/", "", 040755}}), "the package has no details/Quarvel.exe"},
      {version, zip({top, details, program, {"Other/", "", 040755}}),
       "the package has 2 top-level folders ('Other', 'Top')"},
  };
  for (const auto& [versionReply, packageReply, finding] : cases) {
    TestServer s;
    s.on("/latest_version.txt", versionReply);
    s.on("/" + package1, packageReply);
    const ToolRun run = runTool({"--check", s.url()});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("problem: " + finding), std::string::npos) << run.out;
  }
}

// Keys made by minisign: what the tool signs, minisign accepts and --check checks; a key it cannot use changes nothing.
TEST_F(Publish, SignsSoThatMinisignAgreesAndRefusesKeysItCannotUse) {
  const std::string keys = QUARVEL_KEY_DIR, protectedKey = keys + "/protected.key";
  expectRefused({"--sign", keys + "/test.pub", "build", line1, "server"}, "is not a minisign secret key");
  ::setenv("QUARVEL_SIGN_PASSWORD", "wrong", 1);
  expectRefused({"--sign", protectedKey, "build", line1, "server"}, "wrong password for");

  ::setenv("QUARVEL_SIGN_PASSWORD", "quarvel-test", 1);
  ASSERT_EQ(runTool({"--sign", protectedKey, "build", line1, "server"}).status, 0);
  ::unsetenv("QUARVEL_SIGN_PASSWORD");
  dir.write("from-version-file.minisig", served("latest_version.txt").substr(13));
  const std::string package = (server / package1).string();
  for (const std::string& signature : {package + ".minisig", (dir.path() / "from-version-file.minisig").string()})
    EXPECT_EQ(runProgram("minisign", {"-V", "-m", package, "-x", signature, "-p", keys + "/protected.pub"}).status, 0)
        << signature;

  TestServer s;
  serveFolder(server, s);
  // Each key is reported on: launchers built with the other key alone get no update.
  const ToolRun twoKeys = runTool({"--check", s.url(), "--key", keys + "/protected.pub", "--key", keys + "/other.pub"});
  EXPECT_EQ(twoKeys.status, 1);
  EXPECT_NE(twoKeys.out.find("ok: the package matches its signature by key '" + keys + "/protected.pub'"), std::string::npos);
  EXPECT_NE(twoKeys.out.find("problem: latest_version.txt carries no signature by key '" + keys + "/other.pub'"),
            std::string::npos);
  s.serve("/" + package1, zipArchive({top}));
  EXPECT_NE(runTool({"--check", s.url(), "--key", keys + "/protected.pub"}).out.find("does not match its signature"),
            std::string::npos);
  // Published unsigned: a build that carries a launcher which would check no signature is named,
  // and so is the other server that launcher asks while that server does not announce the build.
  makeKeylessLauncher("keyless");
  TestServer moved;
  dir.write("keyless/linux/" + std::string(launcherServerFileName), moved.url() + "\n");
  ASSERT_EQ(runTool({"--launcher", "keyless", "build", line2, "server"}).status, 0);
  serveFolder(server, s);
  const std::string carried = runTool({"--check", s.url(), "--key", keys + "/protected.pub"}).out;
  for (const std::string& problem :
       {std::string("checks no publisher signature"), "asks " + moved.url() + ", whose latest_version.txt answers 404"})
    EXPECT_NE(carried.find("problem: the linux launcher the build carries " + problem), std::string::npos) << carried;
  moved.serve("/latest_version.txt", line1);
  EXPECT_NE(runTool({"--check", s.url()}).out.find("which announces '" + line1 + "', not '" + line2 + "'"),
            std::string::npos);
}

}  // namespace
