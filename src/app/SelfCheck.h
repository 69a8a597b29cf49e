#pragma once

#include <string>

// What a launcher that is about to replace this one runs ("--self-check=VERSION") to see
// that this program starts on the machine: its version is the one its folder announces,
// its libraries load, and it reads every asset. Writes nothing; 0 when all is well.
int runSelfCheck(const std::string& expectedVersion);
