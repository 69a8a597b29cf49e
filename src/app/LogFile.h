#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

// The launcher's log file, for players to send to the studio: every line the window
// shows and the details it leaves out, each with its local time. Lines are queued and
// written by a thread of its own, so no caller ever waits on the disk, and they keep the
// order in which they were queued. A file that cannot be opened or written is given up
// for the run, and so is a path that names a folder, which is left as it is. The previous
// run's file is kept as path.1; when it cannot be moved there, this run appends to it. The
// file stops at limit bytes. An empty path writes no file.
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
  // Waits up to limit until every line queued so far is written; false when the disk
  // did not keep up. For a shutdown that cannot wait for the destructor.
  bool drain(std::chrono::milliseconds limit);

 private:
  void queue(std::string entry);
  void queueLastProgress();
  std::ofstream openForThisRun();
  void writeQueued(std::ofstream file);

  const std::string path_;
  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_, written_;
  std::deque<std::string> queued_;
  std::string lastProgress_;  // the newest progress line, not yet queued
  bool inProgress_ = false;
  bool stopping_ = false;
  bool writing_ = false;  // a batch taken off the queue is not yet on the file
  std::thread writer_;
};
