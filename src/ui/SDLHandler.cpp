#include "ui/SDLHandler.h"

#include "base/Check.h"
#include "base/LauncherAssets.h"
#include "base/ReadFile.h"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

// Everything but the sensor subsystem, which the launcher has no use for, and video,
// which comes up on its own below. The spacing shows in the start-up check's report, so
// the formatter leaves it alone.
// clang-format off
#define QUARVEL_SDL_SUBSYSTEMS \
  ( SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_EVENTS | SDL_INIT_JOYSTICK | SDL_INIT_HAPTIC | SDL_INIT_GAMECONTROLLER )
// clang-format on

namespace {

// SDL falls back to drivers that draw into memory when no display answers; a launcher
// on one of those would update the game unseen and never end. They are taken only when
// SDL_VIDEODRIVER asks for them (the tests' dummy driver).
bool showsAWindow(const char* driver) {
  if (std::getenv("SDL_VIDEODRIVER")) return true;
  return driver && std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0 &&
         std::strcmp(driver, "evdev") != 0;
}

// A launcher started with the desktop session may come before the display does, so
// the display is tried for a while before the launcher gives up.
// Empty when the first try opened it, else why the tries before failed.
std::string openDisplay() {
  constexpr std::chrono::milliseconds patience{10000}, retryPause{250};
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::string why;
  while (true) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) {
      if (showsAWindow(SDL_GetCurrentVideoDriver())) return why;
      why = std::string("only the ") + SDL_GetCurrentVideoDriver() + " video driver, which shows nothing";
      SDL_QuitSubSystem(SDL_INIT_VIDEO);
    } else {
      why = SDL_GetError();
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(retryPause);
  }
  SDL_Quit();
  throw DisplayUnavailable("Quarvel Launcher cannot open its window: no display could be opened (" + why + ").");
}

}  // namespace

SDLHandler::SdlSession::SdlSession() {
  // The window's quit event is not one of the ways to close the launcher, so SDL must
  // not turn SIGINT and SIGTERM into one: they keep their usual effect of ending it.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  // The launcher plays no sound. The silent driver keeps the audio subsystem from
  // connecting to the desktop's sound server, whose client library can write files
  // under the home folder.
  SDL_SetHint(SDL_HINT_AUDIODRIVER, "dummy");
  // Two images and a few lines of text a frame: SDL's own renderer draws them in a
  // fraction of a millisecond and hands the frame straight to the window. Through
  // OpenGL without a graphics card (virtual machines, remote desktops) the same frame
  // costs over a millisecond more, and the idle launcher several percent of a core.
  // SDL_RENDER_DRIVER in the environment still chooses another renderer.
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  QUARVEL_CHECK(SDL_Init(QUARVEL_SDL_SUBSYSTEMS) == 0);
  failedDisplayTries = openDisplay();
}
SDLHandler::SdlSession::~SdlSession() { SDL_Quit(); }

SDLHandler::TtfSession::TtfSession() { QUARVEL_CHECK(TTF_Init() == 0); }
SDLHandler::TtfSession::~TtfSession() { TTF_Quit(); }

namespace {

WindowPtr createWindow() {
  WindowPtr window_(
      SDL_CreateWindow("Quarvel Launcher", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 640, 480, 0));
  QUARVEL_CHECK(window_);
  return window_;
}

RendererPtr createRenderer(SDL_Window* window) {
  RendererPtr renderer_(SDL_CreateRenderer(window, -1, 0));
  QUARVEL_CHECK(renderer_);
  return renderer_;
}

}  // namespace

SDLHandler::SDLHandler() : window_(createWindow()), renderer_(createRenderer(window_.get())) {
  SurfacePtr icon(IMG_Load(iconImage));
  QUARVEL_CHECK(icon);
  SDL_SetWindowIcon(window_.get(), icon.get());
}

SDLHandler::~SDLHandler() {
  // First to last, before the members below go in reverse order.
  for (TexturePtr& texture : textures_) texture.reset();
}

std::string SDLHandler::displayDetails() const {
  std::string details = std::string("video driver ") + SDL_GetCurrentVideoDriver();
  if (!sdl_.failedDisplayTries.empty()) details += ", opened after a failed try (" + sdl_.failedDisplayTries + ")";
  return details;
}

SDL_Texture* SDLHandler::loadTexture(const char* path) {
  SurfacePtr surface(IMG_Load(path));
  if (!surface) {
    std::cerr << "Unable to locate image file " << path << std::endl;
    return nullptr;
  }
  TexturePtr texture(SDL_CreateTextureFromSurface(renderer_.get(), surface.get()));
  surface.reset();
  if (!texture) {
    std::cerr << "Failed to create texture" << std::endl;
    return nullptr;
  }
  textures_.push_back(std::move(texture));
  return textures_.back().get();
}

void SdlDeleter::operator()(_TTF_Font* f) const { TTF_CloseFont(f); }

LogFont::LogFont() {
  data = readFileUpTo(logFontFile, 64 << 20);  // a font of tens of MiB would be no font of ours
  font.reset(TTF_OpenFontRW(SDL_RWFromConstMem(data.data(), static_cast<int>(data.size())), 1, 12));
  QUARVEL_CHECK(font);
}
