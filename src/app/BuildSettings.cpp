#include "app/BuildSettings.h"

#include <cstdlib>

#ifndef QUARVEL_SERVER_URL
#define QUARVEL_SERVER_URL "127.0.0.1:8470/"
#endif
#ifndef QUARVEL_PUBLIC_KEY
#define QUARVEL_PUBLIC_KEY ""
#endif

#ifndef QUARVEL_VERSION
#define QUARVEL_VERSION "unknown"
#endif

const char* launcherVersion() { return QUARVEL_VERSION; }

#ifdef QUARVEL_TEST_HOOKS
int launcherSwapStopStep() {
  const char* step = std::getenv("QUARVEL_STOP_AT_SWAP_STEP");
  return step ? std::atoi(step) : -1;
}
#else
int launcherSwapStopStep() { return -1; }
#endif

LauncherSettings builtInSettings() { return {QUARVEL_SERVER_URL, QUARVEL_PUBLIC_KEY}; }
