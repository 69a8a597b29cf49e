#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // No display or sound card is needed; the log font, opened once per process, stays
  // valid across the many launchers the tests build while the text library stays open.
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  TTF_Init();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
