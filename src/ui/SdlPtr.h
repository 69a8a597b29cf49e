#pragma once

#include <SDL.h>

#include <memory>
#include <string>

struct _TTF_Font;

// Owning pointers for SDL objects: each frees itself with the matching SDL call.
struct SdlDeleter {
  void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
  void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
  void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
  void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
  void operator()(_TTF_Font* f) const;  // TTF_CloseFont, in MessageLog.cpp, which includes the text library
};

using WindowPtr = std::unique_ptr<SDL_Window, SdlDeleter>;
using RendererPtr = std::unique_ptr<SDL_Renderer, SdlDeleter>;
using TexturePtr = std::unique_ptr<SDL_Texture, SdlDeleter>;
using SurfacePtr = std::unique_ptr<SDL_Surface, SdlDeleter>;
using FontPtr = std::unique_ptr<_TTF_Font, SdlDeleter>;

// The log's font, read whole and its file closed: an update of the launcher renames its
// files, which Windows refuses for a file that is held open. The font reads the bytes
// for as long as it lives, so both live together.
struct LogFont {
  LogFont();
  std::string data;
  FontPtr font;  // declared after data: closed before the bytes go
};
