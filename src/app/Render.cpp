#include "app/Launcher.h"

void Launcher::render() {
  SDL_Renderer* r = renderer_.get();
  SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
  SDL_RenderClear(r);
  SDL_RenderCopy(r, splash, nullptr, &splashRect);

  SDL_SetRenderDrawColor(r, 0, 127, 255, 255);
  SDL_RenderDrawRect(r, &logRect);

  int y = logRect.y + 2;
  {
    std::lock_guard lock(logMutex);
    for (const LogLine& line : log) {
      if (!line.surface) continue;
      const SDL_Rect dest{logRect.x + 2, y, line.surface->w, line.surface->h};
      TexturePtr texture(SDL_CreateTextureFromSurface(r, line.surface.get()));
      SDL_RenderCopy(r, texture.get(), nullptr, &dest);
      y += line.surface->h;
    }
  }

  SDL_Texture* button = !readyToLaunch ? launchButtonDisabled : buttonPressed ? launchButtonPressed : launchButton;
  SDL_RenderCopy(r, button, nullptr, &buttonRect);
  SDL_RenderPresent(r);
}
