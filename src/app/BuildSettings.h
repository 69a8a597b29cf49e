#pragma once

#include <string>

// What a studio fixes when it builds the launcher.
struct LauncherSettings {
  std::string serverUrl;   // where its builds are served, ending in "/"
  std::string publicKeys;  // comma-separated minisign key lines; empty: builds are not checked
};

// The values this program was built with. They live in a file of their own, so that a
// test program links other values ahead of the library's and runs the code that ships.
LauncherSettings builtInSettings();

// The launcher's own version, "0.1.0".
const char* launcherVersion();

// Test launchers only: the step of a launcher replacement at which the process ends itself,
// as a kill there would end it (QUARVEL_STOP_AT_SWAP_STEP); -1 in every other launcher.
int launcherSwapStopStep();
