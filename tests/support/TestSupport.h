#pragma once

#include "app/Launcher.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

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
  std::string read(const fs::path& name) const;
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

// Writes a real zip archive with libzip.
void buildZip(const fs::path& file, const std::vector<ZipEntry>& entries);

// The package of a build whose game program leaves a marker file when started.
std::vector<ZipEntry> gamePackageEntries(const std::string& marker);

// An HTTP server on 127.0.0.1 with a free port, for answers that a static server
// cannot give: error pages, redirects, dropped connections, stalls.
class TestServer {
 public:
  TestServer();
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // "127.0.0.1:PORT/", the form the launcher takes.
  std::string url() const;
  void serve(const std::string& path, std::string body, int status = 200);
  void redirect(const std::string& path, const std::string& target);
  // Declares the whole length, sends the first part, then closes the connection.
  void dropAfter(const std::string& path, std::string part, std::size_t declaredLength);
  // Sends the headers, then nothing until the server is destroyed.
  void stall(const std::string& path);
  // Sends one byte every 20 ms for as long as the server lives.
  void trickle(const std::string& path);
  // Sends 64 KiB every 5 ms for as long as the server lives: an endless body.
  void flood(const std::string& path);
  // Sends the part in chunked encoding, then closes the connection without the last chunk.
  void dropChunked(const std::string& path, std::string part);
  // The raw request targets in arrival order (blanks still %20-encoded).
  std::vector<std::string> requests() const;

 private:
  enum class Kind { Body, Redirect, Drop, Stall, Trickle, Flood, DropChunked };
  struct Answer {
    Kind kind = Kind::Body;
    std::string body;
    int status = 200;
    std::size_t declaredLength = 0;
  };
  void setAnswer(const std::string& path, Answer answer);
  void answer(const httplib::Request& request, httplib::Response& response);
  bool waitWhileRunning();

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Answer> answers_;
  std::vector<std::string> requests_;
};

// Answers one connection with a fixed text, then closes it: for a body that has neither
// a length nor chunks and simply ends with the connection.
class OneShotServer {
 public:
  explicit OneShotServer(std::string response);
  ~OneShotServer();
  OneShotServer(const OneShotServer&) = delete;
  OneShotServer& operator=(const OneShotServer&) = delete;
  std::string url() const { return "127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Runs body as an unprivileged user (in a child process when the tests run as root,
// since root ignores file modes), handing it a readable copy of the assets; body
// returns whether every check held.
void asUnprivilegedUser(const std::function<bool(const fs::path& assets)>& body);

// For checks in a child process: prints what failed, returns the condition.
bool verify(bool condition, const std::string& what);

// Reaches into the launcher to set up and read the state that stages hand on.
struct LauncherProbe {
  static VersionInfo& latest(Launcher& l) { return l.latestVersion; }
  static VersionInfo& installed(Launcher& l) { return l.installedVersion; }
  static SDL_Renderer* renderer(Launcher& l) { return l.renderer_.get(); }
  static std::size_t textureCount(const Launcher& l) { return l.textures_.size(); }
  static void setReady(Launcher& l) { l.readyToLaunch = true; }
  static void setPressed(Launcher& l, bool pressed) { l.buttonPressed = pressed; }
  static SDL_Rect logRect(const Launcher& l) { return l.logRect; }
};

// Drives the sequencer as the frame loop would until the pipeline comes to rest.
bool runPipeline(Launcher& launcher, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The version line of a package built for tests, and its package file name.
inline const std::string testLine = "1.0 20190315";
inline const std::string testPackage = "quarvel 1.0 20190315.zip";
