#include "base/Check.h"

#include <cstdlib>
#include <iostream>

void quarvel::detail::checkFailed(const char* expression, const char* file, int line) {
  std::cerr << "Assertion failed: " << expression << ", file " << file << ", line " << line << std::endl;
  std::abort();
}
