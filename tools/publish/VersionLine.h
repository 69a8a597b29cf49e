#pragma once

#include <string>

// What can be wrong with a version line. A wrong length or a bad character stops the
// launcher (or sends it to the wrong address); a wrong month only spoils the date it shows.
enum class LineFault { None, Length, Character, Month };

struct LineVerdict {
  LineFault fault = LineFault::None;
  std::string reason;  // one plain sentence that quotes the line; empty when it is fine
};

LineVerdict judgeVersionLine(const std::string& line);

// The text as it can be printed: control characters shown as \xNN.
std::string printable(const std::string& text);
