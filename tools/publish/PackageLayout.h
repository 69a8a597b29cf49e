#pragma once

#include "Findings.h"

#include <zip.h>

// Reports what the launcher's extraction would make of the archive on a player's
// first install: its top-level folder, entries it would skip or stop at, and
// whether the game program arrives and can be started.
void reportLayout(zip_t* archive, Findings& findings);
