#pragma once

#include "base/Duration.h"

#include <string>

// What a routine tells and asks of whoever runs it: the launcher shows lines in its window
// (and its log file), keeps details for the log file alone, says when to stop, and pauses
// the way the player can see. Routines take this, never the window.
class Report {
 public:
  virtual void addLine(const std::string& text) = 0;
  virtual void replaceLine(const std::string& text) = 0;  // rewrites the progress line
  virtual void detail(const std::string& text) = 0;       // for the log file alone
  virtual bool stopRequested() const = 0;
  virtual void pause(Milliseconds duration) = 0;

 protected:
  ~Report() = default;
};

// Tells no one and never stops: for tools, benchmarks and fuzzers that run a routine alone.
class QuietReport final : public Report {
 public:
  void addLine(const std::string&) override {}
  void replaceLine(const std::string&) override {}
  void detail(const std::string&) override {}
  bool stopRequested() const override { return false; }
  void pause(Milliseconds) override {}
};
