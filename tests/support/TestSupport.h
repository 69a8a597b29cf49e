#pragma once
// Shared by the in-process tests: a working folder, real zip archives, an HTTP server, a whole launcher run.
#include "app/Launcher.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

inline std::string slurp(const fs::path& file) {  // "" for a folder or a missing file
  std::ostringstream contents;
  contents << std::ifstream(file, std::ios::binary).rdbuf();
  return contents.str();
}
inline unsigned modeOf(const fs::path& path) { return unsigned(fs::status(path).permissions() & fs::perms::mask); }

// A fresh working directory holding the launcher's assets, entered for the test's life.
class WorkDir {
 public:
  explicit WorkDir(const fs::path& assets = QUARVEL_ASSET_DIR) : previous_(fs::current_path()) {
    std::string pattern = (fs::temp_directory_path() / "quarvel-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    fs::copy(assets, path_, fs::copy_options::recursive);
    fs::current_path(path_);
  }
  ~WorkDir() {
    fs::current_path(previous_);
    std::error_code e;  // tests take write permission away from some folders: give it back so they can go
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, e);
    for (const auto& entry : fs::recursive_directory_iterator(path_, e))
      if (entry.is_directory(e)) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, e);
    fs::remove_all(path_, e);
  }
  const fs::path& path() const { return path_; }
  void write(const fs::path& name, const std::string& contents) const {
    fs::create_directories((path_ / name).parent_path());
    std::ofstream(path_ / name, std::ios::binary) << contents;
  }
  std::string read(const fs::path& name) const { return slurp(path_ / name); }
  bool exists(const fs::path& name) const { return fs::exists(fs::symlink_status(path_ / name)); }

 private:
  fs::path previous_, path_;
};

// An entry of a test archive: a folder when the name ends in "/"; mode 0 marks it as from another system.
struct ZipEntry {
  std::string name, data;
  unsigned mode = 0;
  bool stored = false;  // store instead of deflate
};

// A real archive written by libzip; without entries, the bare end record.
inline std::string zipArchive(const std::vector<ZipEntry>& entries) {
  if (entries.empty()) return std::string("PK\5\6", 4) + std::string(18, '\0');
  const fs::path file = fs::temp_directory_path() / ("quarvel-zip-" + std::to_string(::getpid()) + ".zip");
  zip_t* archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
  for (const ZipEntry& e : entries) {
    const zip_int64_t i =
        e.name.ends_with('/')
            ? zip_dir_add(archive, e.name.c_str(), ZIP_FL_ENC_UTF_8)
            : zip_file_add(archive, e.name.c_str(), zip_source_buffer(archive, e.data.data(), e.data.size(), 0),
                           ZIP_FL_ENC_UTF_8);
    if (i < 0) throw std::runtime_error(e.name + ": " + zip_strerror(archive));
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(i), e.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(i), 0, e.mode ? ZIP_OPSYS_UNIX : ZIP_OPSYS_DOS,
                                     static_cast<zip_uint32_t>(e.mode) << 16);
  }
  if (zip_close(archive) != 0) throw std::runtime_error(zip_strerror(archive));
  const std::string bytes = slurp(file);
  fs::remove(file);
  return bytes;
}

// Keeps what a routine tells, apart from the window.
struct Recording : Report {
  void addLine(const std::string& text) override { lines.push_back(text); }
  void replaceLine(const std::string& text) override { lines.back() = text; }
  void detail(const std::string& text) override { details.push_back(text); }
  bool stopRequested() const override { return false; }
  void pause(Milliseconds) override {}
  Lines lines, details;
};

// Reaches into the launcher to set up and read the state the window shows.
struct LauncherProbe {
  static SDL_Renderer* renderer(Launcher& l) { return l.renderer_.get(); }
  static void setReady(Launcher& l, bool ready = true) { l.readyToLaunch = ready; }
  static void setPressed(Launcher& l, bool pressed) { l.buttonPressed = pressed; }
};

// Drives the sequencer as the frame loop would until done() holds; false after 3 minutes.
inline bool driveUntil(Launcher& launcher, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  for (launcher.update(); !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)), launcher.update())
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// The whole run's log and whether the player can play; the launcher is gone, its log file written.
inline std::pair<Lines, bool> runLauncher(const LauncherSettings& settings) {
  Launcher launcher{settings};
  EXPECT_TRUE(driveUntil(launcher, [&] { return launcher.pipelineIdle(); }));
  return {launcher.logLines(), launcher.isReadyToLaunch()};
}
inline std::pair<Lines, bool> runLauncher(const std::string& url) { return runLauncher(LauncherSettings{url, ""}); }

// Every file of a published server folder, served under its name.
inline void serveFolder(const fs::path& folder, TestServer& server) {
  for (const auto& file : fs::directory_iterator(folder))
    server.serve("/" + file.path().filename().string(), slurp(file.path()));
}

// The log's last lines, as many as expected; where an expected line ends in "*", the log's need only start alike.
inline Lines tailOf(const Lines& log, const Lines& expected) {
  Lines tail(log.end() - std::min(log.size(), expected.size()), log.end());
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (expected[i].ends_with('*')) tail[i] = tail[i].substr(0, expected[i].size() - 1) + "*";
  return tail;
}
inline Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline const std::string testLine = "1.0 20190315", testPackage = "quarvel 1.0 20190315.zip";
inline const std::string upToDate = "Quarvel is up to date!";
inline const std::string contactFailed = "Error: Failed to contact server. Check internet connection.";
inline const std::string cannotOpen = "    Failed to open archive.", aborting = "    Aborting extraction.";
inline const Lines updated{"    Done.", upToDate};
// A first run's log up to the extraction.
inline const Lines firstRun({"Checking for installed version...", "    Could not find file latest_version.txt",
                             "    No existing installation found.", "Checking for latest version...",
                             "    Latest version is 1.0_20190315 (built 15 March, 2019).", "An update is required.",
                             "Downloading package \"quarvel 1.0 20190315.zip\"...", "    Downloaded 0 MiB.",
                             "Extracting package..."});
inline const ZipEntry top{"Top/", "", 040755};

// Entries told apart by a number at the end of the name (before the "/" of a folder).
inline std::vector<ZipEntry> numbered(std::vector<ZipEntry> entries, int n, const ZipEntry& each) {
  for (int i = 0; i < n; ++i)
    entries.push_back({std::string(each.name).insert(each.name.size() - each.name.ends_with('/'), std::to_string(i)),
                       each.data, each.mode});
  return entries;
}

// A file after the run: its contents (none: it must not exist) and, unless 0, its mode.
struct FileCheck {
  std::string path;
  std::optional<std::string> contents;
  unsigned mode = 0;
};

// A package run through the whole pipeline: the log's tail (ending in updated: it went through; in "!": playable),
// the files after it, what is done to the folder or archive before (a server folder it publishes is served
// instead), the version file's answer, the launcher's public keys.
using SetUp = std::function<void(WorkDir& dir, std::string& archive)>;
struct PackageRow {
  std::string name;
  std::vector<ZipEntry> entries = {};
  Lines tail;
  std::vector<FileCheck> files = {};
  SetUp setUp = nullptr;
  Reply version = {Reply::Body, testLine};
  const char* logged = "";  // a detail the log file must hold
  std::string keys = "";
};
inline void PrintTo(const PackageRow& row, std::ostream* out) { *out << row.name; }
inline const auto rowName = [](const auto& info) { return std::string(info.param.name); };
class Packages : public testing::TestWithParam<PackageRow> {};

// A file, or a folder when there are no contents, made read-only for its owner if asked.
inline SetUp placing(const fs::path& path, std::optional<std::string> contents = {}, bool readOnly = false) {
  return [=](WorkDir& dir, std::string&) {
    contents ? dir.write(path, *contents) : void(fs::create_directories(dir.path() / path));
    if (readOnly) fs::permissions(dir.path() / path, fs::perms::owner_write, fs::perm_options::remove);
  };
}
// A link to a folder, which is made too.
inline SetUp linking(const fs::path& link, const fs::path& target) {
  return [=](WorkDir& dir, std::string&) {
    fs::create_directories(dir.path() / target);
    fs::create_directories((dir.path() / link).parent_path());
    fs::create_directory_symlink(dir.path() / target, dir.path() / link);
  };
}

// The log file's lines as the window showed them: without time stamps and details, and without the lines that
// the first progress line of an extraction replaced in the window.
inline Lines windowLinesOf(const std::string& file, const Lines& window) {
  Lines lines;
  std::istringstream in(file);
  for (std::string line; std::getline(in, line);) {
    line = line.substr(std::min(line.size(), std::string("2026-12-07 14:03:05.123  ").size()));
    const bool progress = line.starts_with("    Extracting file") || line.starts_with("    Downloaded ");
    const bool replaced = progress && std::ranges::count(window, line) == 0;
    if (!line.starts_with("| ") && !replaced) lines.push_back(line);
  }
  return lines;
}

inline void installsAsExpected(const PackageRow& row, const fs::path& assets = QUARVEL_ASSET_DIR) {
  SCOPED_TRACE(row.name);
  WorkDir dir(assets);
  std::string archive = zipArchive(row.entries);
  if (row.setUp) row.setUp(dir, archive);
  const std::string before = dir.read("latest_version.txt");
  TestServer server;
  server.on("/latest_version.txt", row.version);
  server.serve("/" + testPackage, archive);
  if (dir.exists("server")) serveFolder(dir.path() / "server", server);
  const auto [log, ready] = runLauncher(LauncherSettings{server.url(), row.keys});
  const bool done = tailOf(row.tail, updated) == updated;
  EXPECT_EQ(tailOf(log, row.tail), row.tail);
  EXPECT_EQ(ready, row.tail.back().ends_with('!'));
  // The version file names the new build exactly when the update went through, unless a folder stands there.
  // With signing on, the signed time follows the line.
  const bool recorded = done && !fs::is_directory(dir.path() / "latest_version.txt");
  const std::string after = dir.read("latest_version.txt");
  EXPECT_EQ(recorded ? after.substr(0, after.find('\n')) : after, recorded ? testLine : before);
  for (const char* temporary : {"temp.txt", "latest_version.txt.new", "escaped.txt", "../escaped.txt"})
    EXPECT_FALSE(dir.exists(temporary)) << temporary;
  for (const auto& [path, contents, mode] : row.files) {
    EXPECT_TRUE(dir.exists(path) ? contents && dir.read(path) == *contents : !contents) << path;
    EXPECT_TRUE(!mode || modeOf(dir.path() / path) == mode) << path;
  }
  EXPECT_EQ(std::ranges::count(server.requests(), "/moved"), 0) << "a redirect is never followed";
  const std::string logFile = dir.read("quarvel-launcher.log");
  EXPECT_TRUE(logFile.empty() || windowLinesOf(logFile, log) == log) << logFile;
  EXPECT_NE(logFile.find(row.logged), std::string::npos) << logFile;
}

struct ToolRun {
  int status;
  std::string out, err;
};

// A program run through the shell with its arguments quoted; its output is kept outside the work folder, so that
// it shows in no snapshot of it.
inline ToolRun runProgram(const std::string& program, const std::vector<std::string>& args) {
  const std::string out = fs::temp_directory_path() / ("quarvel-out-" + std::to_string(::getpid()));
  std::string command = program;
  for (const std::string& arg : args) command += " '" + arg + "'";
  const int status = std::system((command + " >'" + out + "' 2>'" + out + ".err' </dev/null").c_str());
  ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(out + ".err")};
  fs::remove(out), fs::remove(out + ".err");
  return run;
}
inline ToolRun runTool(const std::vector<std::string>& args) { return runProgram(QUARVEL_PUBLISH_BIN, args); }

// The base64 line of one of the test keys made by minisign.
inline std::string publicKey(const std::string& name) {
  std::istringstream pub(slurp(std::string(QUARVEL_KEY_DIR) + "/" + name + ".pub"));
  std::string comment, key;
  std::getline(pub, comment), std::getline(pub, key);
  return key;
}
