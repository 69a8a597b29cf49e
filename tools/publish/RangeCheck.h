#pragma once

#include "Findings.h"

#include <cstdint>
#include <string>

// Whether a download of url (size bytes) that drops can continue where it stopped: its last
// byte is asked for as the launcher asks for the rest of a file, first to learn the
// validator the host sends, then under that validator.
void checkRanges(const std::string& url, std::uint64_t size, Findings& findings);
