#include "app/Launcher.h"
#include "platform/Platform.h"

#include <iostream>

namespace {

// Half-open on both axes: the column right of the button and the row below it are outside.
bool inside(const SDL_Rect& rect, int x, int y) {
  return x >= rect.x && x < rect.x + rect.w && y >= rect.y && y < rect.y + rect.h;
}

}  // namespace

bool Launcher::handleEvents() {
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    switch (event.type) {
      case SDL_KEYDOWN:
        if (event.key.keysym.sym == SDLK_q) return false;
        break;
      case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_CLOSE) return false;
        break;
      case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT && readyToLaunch &&
            inside(buttonRect, event.button.x, event.button.y))
          buttonPressed = true;
        break;
      case SDL_MOUSEBUTTONUP:
        if (event.button.button == SDL_BUTTON_LEFT && readyToLaunch && buttonPressed) {
          launchGame();
          buttonPressed = false;
        }
        break;
      default: break;
    }
  }
  return true;
}

void Launcher::launchGame() {
  const std::string command = platform::gameStartCommand(updateSettings.installDir);
  std::cout << command << std::endl;
  logDetail("starting the game: " + command);
  logDetail("the game ended with exit status " + std::to_string(platform::runCommand(command)));
}
