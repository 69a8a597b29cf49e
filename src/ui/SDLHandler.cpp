#include "ui/SDLHandler.h"

#include "app/Check.h"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <iostream>

// Everything but the sensor subsystem, which the launcher has no use for.
// The spacing shows in the start-up check's report, so the formatter leaves it alone.
// clang-format off
#define QUARVEL_SDL_SUBSYSTEMS \
  ( SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO | SDL_INIT_EVENTS | SDL_INIT_JOYSTICK | SDL_INIT_HAPTIC | SDL_INIT_GAMECONTROLLER )
// clang-format on

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
  SurfacePtr icon(IMG_Load("quarvel_icon_black.png"));
  QUARVEL_CHECK(icon);
  SDL_SetWindowIcon(window_.get(), icon.get());
}

SDLHandler::~SDLHandler() {
  // First to last, before the members below go in reverse order.
  for (TexturePtr& texture : textures_) texture.reset();
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
