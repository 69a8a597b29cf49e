#pragma once

#include <stdexcept>

// Why the tool stops: one plain line, printed after the program's name.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The command line itself is wrong; the tool points at --help.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
