#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // No display or sound card is needed for the unit and integration tests.
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  // The log font is opened once per process and kept; holding the text library open
  // for the whole run keeps it valid across the many launchers the tests build.
  TTF_Init();
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  TTF_Quit();
  return result;
}
