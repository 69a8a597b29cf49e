#pragma once

#include "package/Signature.h"

#include <optional>
#include <string>

// Asks the server at serverUrl (host[:port][/path]/) for what the launcher asks for,
// prints one line per finding and returns 0 only when a player would get a clean
// update, 1 otherwise. With a key, the build must be signed with it, as a launcher
// built with that key demands.
int checkServer(const std::string& serverUrl, const std::optional<signing::PublicKey>& key = std::nullopt);

// Empty when the address has the launcher's form, else why it has not.
std::string serverUrlProblem(const std::string& serverUrl);
