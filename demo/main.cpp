// The demo game that the launcher installs and starts: a window that shows the
// game's name and the build it belongs to, and closes on any key, a click, or after
// a few seconds.
#include <SDL.h>
#include <SDL_ttf.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct Deleter {
  void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
  void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
  void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
  void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
  void operator()(TTF_Font* f) const { TTF_CloseFont(f); }
};
template <typename T>
using Owned = std::unique_ptr<T, Deleter>;

constexpr Uint32 showMilliseconds = 5000;

// The publishing step writes the build's line beside the program.
std::string buildLine() {
  std::ifstream in("build.txt");
  std::string line;
  std::getline(in, line);
  return line.empty() ? "unknown build" : line;
}

void drawCentred(SDL_Renderer* renderer, TTF_Font* font, const std::string& text, SDL_Color colour, int y) {
  Owned<SDL_Surface> surface(TTF_RenderText_Blended(font, text.c_str(), colour));
  if (!surface) return;
  Owned<SDL_Texture> texture(SDL_CreateTextureFromSurface(renderer, surface.get()));
  const SDL_Rect dest{(480 - surface->w) / 2, y, surface->w, surface->h};
  SDL_RenderCopy(renderer, texture.get(), nullptr, &dest);
}

bool closeRequested() {
  SDL_Event event;
  while (SDL_PollEvent(&event))
    if (event.type == SDL_QUIT || event.type == SDL_KEYDOWN || event.type == SDL_MOUSEBUTTONDOWN) return true;
  return false;
}

}  // namespace

int main(int, char**) {
  const std::string line = buildLine();
  std::cout << "Quarvel demo, build " << line << std::endl;
  if (SDL_Init(SDL_INIT_VIDEO) != 0 || TTF_Init() != 0) {
    std::cerr << "Quarvel demo: no display (" << SDL_GetError() << ")" << std::endl;
    return 1;
  }
  {
    Owned<SDL_Window> window(
        SDL_CreateWindow(("Quarvel " + line).c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 480, 270, 0));
    Owned<SDL_Renderer> renderer(window ? SDL_CreateRenderer(window.get(), -1, 0) : nullptr);
    Owned<TTF_Font> title(TTF_OpenFont("DemoFont.ttf", 56));
    Owned<TTF_Font> small(TTF_OpenFont("DemoFont.ttf", 18));
    if (!renderer || !title || !small) {
      std::cerr << "Quarvel demo: cannot draw (" << SDL_GetError() << ")" << std::endl;
      return 1;
    }
    const Uint32 start = SDL_GetTicks();
    while (!closeRequested() && SDL_GetTicks() - start < showMilliseconds) {
      SDL_SetRenderDrawColor(renderer.get(), 8, 12, 28, 255);
      SDL_RenderClear(renderer.get());
      drawCentred(renderer.get(), title.get(), "QUARVEL", SDL_Color{200, 225, 255, 255}, 70);
      drawCentred(renderer.get(), small.get(), "build " + line, SDL_Color{0, 127, 225, 255}, 150);
      drawCentred(renderer.get(), small.get(), "press any key", SDL_Color{90, 100, 120, 255}, 215);
      SDL_RenderPresent(renderer.get());
      SDL_Delay(30);
    }
  }
  TTF_Quit();
  SDL_Quit();
  return 0;
}
