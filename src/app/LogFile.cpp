#include "app/LogFile.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

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
  std::remove((path_ + ".1").c_str());
  std::rename(path_.c_str(), (path_ + ".1").c_str());
  writer_ = std::thread([this] { writeQueued(); });
}

LogFile::~LogFile() {
  {
    std::lock_guard lock(mutex_);
    if (inProgress_ && !lastProgress_.empty()) queued_.push_back(std::move(lastProgress_));
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
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
    if (inProgress_ && !lastProgress_.empty()) queued_.push_back(std::move(lastProgress_));
    lastProgress_.clear();
    inProgress_ = false;
    queued_.push_back(std::move(entry));
  }
  wake_.notify_one();
}

void LogFile::writeQueued() {
  std::ofstream file(path_, std::ios::binary | std::ios::trunc);
  const std::string cut = "(the log stops here: it reached its limit)\n";
  std::size_t written = 0;
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping, with everything written
    std::deque<std::string> batch;
    batch.swap(queued_);
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
  }
}
