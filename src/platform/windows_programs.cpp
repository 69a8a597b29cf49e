// The calls that the launcher's update of itself needs on Windows: its own program, running
// a program with a time limit, and putting a file in place of a running one.
#include "platform/Platform.h"
#include "platform/WindowsHandle.h"

#include <cstdlib>

namespace platform {

std::string ownProgramPath() {
  std::string path(MAX_PATH * 4, '\0');
  const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return path;
}

ProgramOutcome runProgram(const std::string& program, const std::string& argument, const std::string& folder,
                          std::chrono::milliseconds timeout) {
  std::string commandLine = "\"" + program + "\" " + argument;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &startup, &started))
    return {ProgramOutcome::NotStarted, -1, lastErrorText()};
  const UniqueHandle process(started.hProcess), thread(started.hThread);
  if (WaitForSingleObject(process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    return {ProgramOutcome::TimedOut, -1, {}};
  }
  DWORD status = 0;
  if (!GetExitCodeProcess(process.get(), &status)) return {ProgramOutcome::NotStarted, -1, lastErrorText()};
  return {ProgramOutcome::Ended, static_cast<int>(status), {}};
}

namespace {

// A file that a virus scanner or an indexer holds open without sharing deletion cannot be
// renamed; such holds last a moment, so the move is tried again for about two seconds.
bool moveWithRetries(const std::string& from, const std::string& to, DWORD flags) {
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExA(from.c_str(), to.c_str(), flags | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    if (attempt == 10 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION))
      return false;
    Sleep(200);
  }
}

}  // namespace

// A running program and its loaded libraries cannot be replaced, only renamed: the old
// file goes aside first, then the new one takes its name.
bool swapIntoPlace(const std::string& next, const std::string& target, const std::string& previous) {
  const bool existed = GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (existed && !moveWithRetries(target, previous, MOVEFILE_REPLACE_EXISTING)) return false;
  if (moveWithRetries(next, target, 0)) return true;
  const DWORD error = GetLastError();
  if (existed) moveWithRetries(previous, target, 0);
  SetLastError(error);
  return false;
}

void endAbruptly() { TerminateProcess(GetCurrentProcess(), 137); std::abort(); }

}  // namespace platform
