#pragma once

#include "ui/SdlPtr.h"

#include <stdexcept>
#include <string>
#include <vector>

// No display could be opened, in words for the player: the launcher cannot show itself.
struct DisplayUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Owns the process's use of SDL: the library itself, the window, its renderer,
// the text library and every texture made by loadTexture.
class SDLHandler {
 public:
  // Throws DisplayUnavailable when no video driver that shows a window comes up.
  SDLHandler();
  ~SDLHandler();
  SDLHandler(const SDLHandler&) = delete;
  SDLHandler& operator=(const SDLHandler&) = delete;

  // Loads a PNG into a texture that stays owned here; null when it cannot be loaded.
  SDL_Texture* loadTexture(const char* path);
  // The video driver and how the display was opened, for the log file.
  std::string displayDetails() const;

 private:
  // Move-only guards whose destructors call SDL_Quit and TTF_Quit.
  struct SdlSession {
    SdlSession();
    ~SdlSession();
    SdlSession(const SdlSession&) = delete;
    SdlSession& operator=(const SdlSession&) = delete;
    std::string failedDisplayTries;
  };
  struct TtfSession {
    TtfSession();
    ~TtfSession();
    TtfSession(const TtfSession&) = delete;
    TtfSession& operator=(const TtfSession&) = delete;
  };

  // Declaration order is the bring-up order; members are torn down in reverse:
  // textures, text library, renderer, window, SDL.
  SdlSession sdl_;

 protected:
  WindowPtr window_;
  RendererPtr renderer_;

 private:
  TtfSession ttf_;

 protected:
  std::vector<TexturePtr> textures_;
};
