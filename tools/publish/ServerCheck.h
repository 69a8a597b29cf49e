#pragma once

#include <string>

// Asks the server at serverUrl (host[:port][/path]/) for what the launcher asks for,
// prints one line per finding and returns 0 only when a player would get a clean
// update, 1 otherwise.
int checkServer(const std::string& serverUrl);

// Empty when the address has the launcher's form, else why it has not.
std::string serverUrlProblem(const std::string& serverUrl);
