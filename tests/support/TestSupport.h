#pragma once

#include "app/Launcher.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string slurp(const fs::path& file);  // "" for a folder or a missing file
unsigned modeOf(const fs::path& path);

// A fresh working directory holding the launcher's assets, entered for the test's life.
class WorkDir {
 public:
  // assets: where the launcher's images and font are copied from.
  explicit WorkDir(const fs::path& assets = QUARVEL_ASSET_DIR);
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const fs::path& path() const { return path_; }
  void write(const fs::path& name, const std::string& contents) const;
  std::string read(const fs::path& name) const { return slurp(path_ / name); }
  bool exists(const fs::path& name) const { return fs::exists(fs::symlink_status(path_ / name)); }

 private:
  fs::path previous_;
  fs::path path_;
};

// One entry of a test archive. A name ending in "/" is a directory.
struct ZipEntry {
  std::string name;
  std::string data;
  unsigned mode = 0;    // Unix permission bits to store; 0 stores none
  bool stored = false;  // store instead of deflate
};

// A real zip archive written by libzip; without entries, the bare end record.
std::string zipArchive(const std::vector<ZipEntry>& entries);

// How the test server answers one path: the answers a static server cannot give.
struct Reply {
  enum Kind {
    Missing,     // 404 with a small error page
    Body,        // the body with the status
    Redirect,    // 302 to /moved, with a small page of its own
    Cut,         // declares `declared` bytes, sends the body, then closes the connection
    CutChunked,  // sends the body as one chunk, then closes without the last chunk
    NoLength,    // neither a length nor chunks: the body ends with the connection
    Flood,       // 64 KiB every 5 ms for as long as the server lives
  };
  Reply(Kind kind = Missing, std::string body = {}, int status = 200, std::size_t declared = 0)
      : kind(kind), body(std::move(body)), status(status), declared(declared) {}
  Kind kind;
  std::string body;
  int status;
  std::size_t declared;
};

// An HTTP server on 127.0.0.1 with a free port.
class TestServer {
 public:
  TestServer();
  ~TestServer();

  // "127.0.0.1:PORT/", the form the launcher takes.
  std::string url() const;
  void on(const std::string& path, Reply reply);
  void serve(const std::string& path, std::string body) { on(path, {Reply::Body, std::move(body)}); }
  // The raw request targets in arrival order (blanks still %20-encoded).
  std::vector<std::string> requests() const;

 private:
  void answer(const httplib::Request& request, httplib::Response& response);

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Reply> replies_;
  std::vector<std::string> requests_;
};

// For checks that must also work in a child process: prints what failed, returns the condition.
bool verify(bool condition, const std::string& what);

// Reaches into the launcher to set up and read the state the window shows.
struct LauncherProbe {
  static SDL_Renderer* renderer(Launcher& l) { return l.renderer_.get(); }
  static void setReady(Launcher& l, bool ready = true) { l.readyToLaunch = ready; }
  static void setPressed(Launcher& l, bool pressed) { l.buttonPressed = pressed; }
};

// Drives the sequencer as the frame loop would until done() holds; false when time ran out.
bool driveUntil(Launcher& launcher, const std::function<bool()>& done);

// What a whole run leaves the player with.
struct Outcome {
  Lines log;
  bool ready = false;
};
Outcome runLauncher(const std::string& url);

// True when the log ends with the expected lines; one ending in "*" need only start with
// the rest. Prints the whole log otherwise.
bool endsWith(const Lines& log, const Lines& expected);

// The version line of a package built for tests, its package file name and the lines
// the log ends with in the common outcomes.
inline const std::string testLine = "1.0 20190315";
inline const std::string testPackage = "quarvel 1.0 20190315.zip";
inline const std::string upToDate = "Quarvel is up to date!";
inline const std::string contactFailed = "Error: Failed to contact server. Check internet connection.";
inline const std::string unreadable = "    Could not read file temp.txt. It may be corrupted";
inline const std::string cannotOpen = "    Failed to open archive.";
inline const std::string aborting = "    Aborting extraction.";
inline const Lines updated{"    Done.", upToDate};

// A file expected after an update: its contents (none: it must not exist) and, unless
// 0, its permission bits.
struct FileCheck {
  std::string path;
  std::optional<std::string> contents;
  unsigned mode = 0;
};

// A package installed from nothing through the whole pipeline: its entries, what must
// follow, and what is done to the working folder or the built archive before the run.
// The update counts as done when the log ends with upToDate.
using SetUp = std::function<void(WorkDir& dir, std::string& archive)>;
struct PackageRow {
  std::string name;
  std::vector<ZipEntry> entries;
  Lines tail;
  std::vector<FileCheck> files = {};
  SetUp setUp = nullptr;
};

// Set-ups: a file, or a folder for no contents, made read-only for its owner if asked;
// a link to a folder, which is made too.
SetUp placing(const fs::path& path, std::optional<std::string> contents = std::nullopt, bool readOnly = false);
SetUp linking(const fs::path& link, const fs::path& target);
bool installsAsExpected(const PackageRow& row, const fs::path& assets = QUARVEL_ASSET_DIR);
inline void PrintTo(const PackageRow& row, std::ostream* out) { *out << row.name; }
class Packages : public testing::TestWithParam<PackageRow> {};
inline std::string rowName(const testing::TestParamInfo<PackageRow>& info) { return info.param.name; }
