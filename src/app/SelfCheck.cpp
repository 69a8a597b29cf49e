#include "app/SelfCheck.h"

#include "app/BuildSettings.h"
#include "ui/SdlPtr.h"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <iostream>

namespace {

constexpr const char* images[] = {"quarvel_splash.png", "launch.png", "launch_pressed.png", "launch_disabled.png",
                                  "quarvel_icon_black.png"};

// Each step the launcher takes to start, short of opening a window: its libraries are
// loaded already when this runs, so what is left is the video system and the assets.
std::string firstFailure() {
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return std::string("no video: ") + SDL_GetError();
  if (TTF_Init() != 0) return std::string("no font library: ") + TTF_GetError();
  for (const char* image : images)
    if (!SurfacePtr(IMG_Load(image))) return std::string(image) + ": " + IMG_GetError();
  TTF_Font* font = TTF_OpenFont("LTYPE.TTF", 12);
  if (!font) return std::string("LTYPE.TTF: ") + TTF_GetError();
  TTF_CloseFont(font);
  return {};
}

}  // namespace

int runSelfCheck(const std::string& expectedVersion) {
  if (expectedVersion != launcherVersion()) {
    std::cerr << "self-check: this launcher is " << launcherVersion() << ", not " << expectedVersion << std::endl;
    return 3;
  }
  const std::string failure = firstFailure();
  TTF_Quit();
  SDL_Quit();
  if (!failure.empty()) {
    std::cerr << "self-check: " << failure << std::endl;
    return 1;
  }
  return 0;
}
