#include "app/BuildSettings.h"

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

LauncherSettings builtInSettings() { return {QUARVEL_SERVER_URL, QUARVEL_PUBLIC_KEY}; }
