#include "app/LogFile.h"

#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

// "2026-12-07 14:03:05.123", local time.
std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
  return text;
}

}  // namespace

LogFile::LogFile(std::string path, std::size_t limit) : path_(std::move(path)), limit_(limit) {
  writer_ = std::thread([this, file = openForThisRun()]() mutable { writeQueued(std::move(file)); });
}

LogFile::~LogFile() {
  {
    std::lock_guard lock(mutex_);
    queueLastProgress();
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

// The previous run's file is what support asks for most: it is never truncated unless
// it was moved aside first.
std::ofstream LogFile::openForThisRun() {
  if (path_.empty() || platform::isDirectory(path_)) return {};
  const bool moved = !platform::fileSizeLow32(path_) || platform::renameReplacing(path_, path_ + ".1");
  return std::ofstream(path_, std::ios::binary | (moved ? std::ios::trunc : std::ios::app | std::ios::ate));
}

bool LogFile::drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  queueLastProgress();
  wake_.notify_one();
  return written_.wait_for(lock, limit, [this] { return queued_.empty() && !writing_; });
}

void LogFile::queueLastProgress() {
  if (inProgress_ && !lastProgress_.empty()) queued_.push_back(std::move(lastProgress_));
  lastProgress_.clear();
}

void LogFile::line(const std::string& text) { queue(timestamp() + "  " + text); }

void LogFile::detail(const std::string& text) { queue(timestamp() + "  | " + text); }

void LogFile::progress(const std::string& text) {
  std::string entry = timestamp() + "  " + text;
  std::lock_guard lock(mutex_);
  if (inProgress_) {
    lastProgress_ = std::move(entry);
    return;
  }
  inProgress_ = true;
  queued_.push_back(std::move(entry));
  wake_.notify_one();
}

void LogFile::queue(std::string entry) {
  {
    std::lock_guard lock(mutex_);
    // A series of progress lines ends with the next other line; its last one goes first.
    queueLastProgress();
    inProgress_ = false;
    queued_.push_back(std::move(entry));
  }
  wake_.notify_one();
}

void LogFile::writeQueued(std::ofstream file) {
  const std::string cut = "(the log stops here: it reached its limit)\n";
  // An appended file counts what it holds already, so it stays within the limit too.
  std::size_t written = file.is_open() ? static_cast<std::size_t>(std::max<std::streamoff>(file.tellp(), 0)) : 0;
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping, with everything written
    std::deque<std::string> batch;
    batch.swap(queued_);
    writing_ = true;
    lock.unlock();
    for (const std::string& entry : batch) {
      if (!file) break;  // never opened, or a write failed: given up for this run
      if (written + entry.size() + 1 + cut.size() > limit_) {
        file << cut;
        file.close();
        file.setstate(std::ios::failbit);
        break;
      }
      file << entry << '\n';
      written += entry.size() + 1;
    }
    file.flush();
    lock.lock();
    writing_ = false;
    written_.notify_all();
  }
}
