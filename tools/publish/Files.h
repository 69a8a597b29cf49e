#pragma once

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

// A file the tool is still writing: removed again unless it was kept, so a failed
// run leaves no half-written file behind in the server folder.
class TemporaryFile {
 public:
  explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const fs::path& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  fs::path path_;
  bool kept_ = false;
};

// A folder of the tool's own below the system's temporary folder, made by mkdtemp so that
// nobody else can have made it first, and removed with what is in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

// A path as the tool's messages show it.
inline std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// "SERVER_DIR/.quarvel-publish-PID.suffix": hidden, and unique to this run.
fs::path temporaryNameIn(const fs::path& dir, const std::string& suffix);

// Makes a written file readable by everyone (web servers read as another user)
// and flushes it to the disk.
void finishFile(const fs::path& file);

// Renames from onto to and flushes the folder, so the new name survives a crash.
void renameDurably(const fs::path& from, const fs::path& to);

// Replaces dir/name with contents: a temporary file, flushed, then renamed into place.
void writeFileDurably(const fs::path& dir, const std::string& name, const std::string& contents);
