#pragma once

#include <ostream>
#include <string>

// The check's report: one line per finding, counted so the exit status can tell.
class Findings {
 public:
  explicit Findings(std::ostream& out) : out_(out) {}

  void ok(const std::string& text) { out_ << "ok: " << text << std::endl; }
  void problem(const std::string& text) {
    ++problems_;
    out_ << "problem: " << text << std::endl;
  }
  // Nothing goes wrong for the player, though it costs more than it should.
  void note(const std::string& text) {
    ++notes_;
    out_ << "note: " << text << std::endl;
  }
  int problems() const { return problems_; }
  int notes() const { return notes_; }

 private:
  std::ostream& out_;
  int problems_ = 0, notes_ = 0;
};
