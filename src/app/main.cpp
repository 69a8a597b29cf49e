#include "app/FrameLoop.h"
#include "app/Launcher.h"

int main(int, char**) {
  Launcher launcher;
  runFrameLoop(launcher);
  launcher.shutDown();
  return 0;
}
