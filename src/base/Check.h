#pragma once

// Checks that stay on in shipped builds: a broken start-up or invariant ends the
// process at once, naming the expression, the source file and the line. The
// expression is printed after macro expansion, so flag names show as their values.
namespace quarvel::detail {
[[noreturn]] void checkFailed(const char* expression, const char* file, int line);
}

#define QUARVEL_CHECK_TEXT(...) #__VA_ARGS__
#define QUARVEL_CHECK(expr) \
  ((expr) ? static_cast<void>(0) : ::quarvel::detail::checkFailed(QUARVEL_CHECK_TEXT(expr), __FILE__, __LINE__))
