#pragma once

#include <cstddef>
#include <string>

// The first limit bytes of the file at path, or all of a shorter one; empty when it cannot be
// read. Whatever a damaged disk or a server left there, a reader never takes more memory than
// it asked for.
std::string readFileUpTo(const std::string& path, std::size_t limit);
