#include "app/FrameLoop.h"
#include "app/Launcher.h"
#include "app/SelfCheck.h"

#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
  constexpr std::string_view selfCheck = "--self-check=";
  if (argc == 2 && std::string_view(argv[1]).starts_with(selfCheck))
    return runSelfCheck(std::string(std::string_view(argv[1]).substr(selfCheck.size())));
  try {
    Launcher launcher;
    runFrameLoop(launcher);
    launcher.shutDown();
  } catch (const DisplayUnavailable& e) {
    // A launcher that cannot show itself does nothing: the player would not see what it did.
    std::cerr << e.what() << std::endl;
    const platform::FolderLock lock(folderLockName);
    LogFile(lock.state() == platform::FolderLock::State::HeldByAnother ? "" : logFileName).line(e.what());
    return 1;
  }
  return 0;
}
