#include "app/FrameLoop.h"
#include "app/Launcher.h"

#include <iostream>

int main(int, char**) {
  try {
    Launcher launcher;
    runFrameLoop(launcher);
    launcher.shutDown();
  } catch (const DisplayUnavailable& e) {
    // A launcher that cannot show itself does nothing: the player would not see what it did.
    std::cerr << e.what() << std::endl;
    const platform::FolderLock lock(folderLockName);
    LogFile(lock.state() == platform::FolderLock::State::HeldByAnother ? "" : "quarvel-launcher.log").line(e.what());
    return 1;
  }
  return 0;
}
