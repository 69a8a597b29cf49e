#pragma once

#include "package/Signature.h"

#include <string>
#include <vector>

// A key --check is given, and the name the report gives it (the argument as given).
struct CheckedKey {
  std::string name;
  signing::PublicKey key;
};

// Asks the server at serverUrl (host[:port][/path]/) for what the launcher asks for,
// prints one line per finding and returns 0 only when every player would get an update,
// 1 otherwise. For each key, what a launcher built with that key alone does: a build it
// cannot verify is a problem (those players keep their installed build); a patch it
// cannot verify only a note (those players download the whole build instead).
int checkServer(const std::string& serverUrl, const std::vector<CheckedKey>& keys = {});

// Empty when the address has the launcher's form, else why it has not.
std::string serverUrlProblem(const std::string& serverUrl);
