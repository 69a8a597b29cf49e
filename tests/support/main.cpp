#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // No display or sound card; the text library stays open so the log font, opened once, outlives each launcher.
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  TTF_Init();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
