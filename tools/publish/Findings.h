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
  int problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};
