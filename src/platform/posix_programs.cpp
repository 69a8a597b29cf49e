// The calls that the launcher's update of itself needs on Linux: its own program, running
// a program with a time limit, and putting a file in place of a running one.
#include "platform/Platform.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace platform {

std::string ownProgramPath() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

namespace {

// The child's errno when chdir or exec failed, through a pipe that exec closes: a program
// that started and then ended with 127 (the dynamic loader, for a missing library) is told
// apart from one that never started.
std::optional<int> startFailure(int readEnd) {
  int failure = 0;
  ssize_t got;
  while ((got = ::read(readEnd, &failure, sizeof failure)) < 0 && errno == EINTR) {}
  ::close(readEnd);
  return got == static_cast<ssize_t>(sizeof failure) ? std::optional<int>(failure) : std::nullopt;
}

}  // namespace

// Between fork and exec the child calls only chdir, execl, write and _exit, which are safe
// in a copy of a process with other threads.
ProgramOutcome runProgram(const std::string& program, const std::string& argument, const std::string& folder,
                          std::chrono::milliseconds timeout) {
  const char* const path = program.c_str();
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return {ProgramOutcome::NotStarted, -1, lastErrorText()};
  const pid_t child = ::fork();
  if (child < 0) {
    const std::string words = lastErrorText();
    ::close(pipeEnds[0]), ::close(pipeEnds[1]);
    return {ProgramOutcome::NotStarted, -1, words};
  }
  if (child == 0) {
    if (::chdir(folder.c_str()) == 0) ::execl(path, path, argument.c_str(), nullptr);
    const int failure = errno;
    [[maybe_unused]] const ssize_t sent = ::write(pipeEnds[1], &failure, sizeof failure);
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  const std::optional<int> notStarted = startFailure(pipeEnds[0]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  pid_t ended = 0;
  while (((ended = ::waitpid(child, &status, WNOHANG)) == 0 || (ended < 0 && errno == EINTR)) &&
         std::chrono::steady_clock::now() < deadline)
    ::usleep(20000);
  if (ended <= 0) {
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return {ProgramOutcome::TimedOut, -1, {}};
  }
  if (notStarted) return {ProgramOutcome::NotStarted, -1, std::strerror(*notStarted)};
  return {ProgramOutcome::Ended, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), {}};
}

// A hard link keeps the old file under its second name while the rename replaces the
// first in one step: a kill or a power cut finds the old file or the new one at target.
// File systems without hard links (FAT) get the old file renamed aside instead, as on
// Windows, with a moment in which target has no file.
bool swapIntoPlace(const std::string& next, const std::string& target, const std::string& previous) {
  if (::unlink(previous.c_str()) != 0 && errno != ENOENT) return false;
  if (::link(target.c_str(), previous.c_str()) != 0 && errno != ENOENT &&
      ::rename(target.c_str(), previous.c_str()) != 0)
    return false;
  if (::rename(next.c_str(), target.c_str()) == 0) return true;
  const int failure = errno;
  if (::access(target.c_str(), F_OK) != 0) ::rename(previous.c_str(), target.c_str());
  errno = failure;
  return false;
}

void endAbruptly() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);
}

}  // namespace platform
