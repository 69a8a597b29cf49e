#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// The launcher's log file, for players to send to the studio: every line the window
// shows and the details it leaves out, each with its local time. Lines are queued and
// written by a thread of its own, so no caller ever waits on the disk, and they keep the
// order in which they were queued. A file that cannot be opened or written is given up
// for the run; the file stops at limit bytes. The previous run's file is kept as path.1.
class LogFile {
 public:
  explicit LogFile(std::string path, std::size_t limit = std::size_t{1} << 20);
  ~LogFile();  // writes what is queued
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  void line(const std::string& text);  // as the window shows it
  // A line that the window rewrites in place: only the first and the last of a series
  // reach the file.
  void progress(const std::string& text);
  void detail(const std::string& text);  // for the file alone

 private:
  void queue(std::string entry);
  void writeQueued();

  const std::string path_;
  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queued_;
  std::string lastProgress_;  // the newest progress line, not yet queued
  bool inProgress_ = false;
  bool stopping_ = false;
  std::thread writer_;
};
