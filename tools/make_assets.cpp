// Draws the launcher's artwork (splash, launch button states, window icon)
// and writes it as PNGs into assets/. Usage: make_assets [repo-root|assets-dir]
#include "base/LauncherAssets.h"

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct SdlDeleter {
  void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
  void operator()(TTF_Font* f) const { TTF_CloseFont(f); }
};
using Surface = std::unique_ptr<SDL_Surface, SdlDeleter>;
using Font = std::unique_ptr<TTF_Font, SdlDeleter>;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + SDL_GetError()); }

// One guard per library so a failed TTF_Init still shuts SDL down.
struct SdlSession {
  SdlSession() {
    if (SDL_Init(0) != 0) fail("SDL_Init");
  }
  ~SdlSession() { SDL_Quit(); }
};
struct TtfSession {
  TtfSession() {
    if (TTF_Init() != 0) fail("TTF_Init");
  }
  ~TtfSession() { TTF_Quit(); }
};

struct Color {
  float r, g, b;
};
Color mix(Color a, Color b, float t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

// A vertical gradient with its own opacity ramp; used for fills, bevels and shadows alike.
struct Paint {
  Color top, bottom;
  float alphaTop = 1, alphaBottom = 1;
};
struct Box {
  float x, y, w, h, r;
};
Box grow(Box b, float d) { return {b.x - d, b.y - d, b.w + 2 * d, b.h + 2 * d, std::max(b.r + d, 0.f)}; }

// Every canvas starts opaque black so rounded corners match the window background.
Surface blankCanvas(int w, int h) {
  Surface s{SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_RGBA32)};
  if (!s) fail("SDL_CreateRGBSurfaceWithFormat");
  SDL_FillRect(s.get(), nullptr, SDL_MapRGBA(s->format, 0, 0, 0, 255));
  return s;
}

// The canvas is always opaque, so "over" compositing reduces to a lerp.
void blend(SDL_Surface* s, int x, int y, Color c, float alpha) {
  if (x < 0 || y < 0 || x >= s->w || y >= s->h || alpha <= 0) return;
  auto* p = static_cast<Uint8*>(s->pixels) + y * s->pitch + x * 4;
  const float a = std::min(alpha, 1.f), src[3] = {c.r, c.g, c.b};
  for (int i = 0; i < 3; ++i) p[i] = static_cast<Uint8>(std::lround(p[i] + (src[i] - p[i]) * a));
}

// Signed distance from a pixel centre to a rounded box's edge (negative inside).
float distance(const Box& b, float px, float py) {
  const float qx = std::abs(px - (b.x + b.w / 2)) - (b.w / 2 - b.r);
  const float qy = std::abs(py - (b.y + b.h / 2)) - (b.h / 2 - b.r);
  return std::hypot(std::max(qx, 0.f), std::max(qy, 0.f)) + std::min(std::max(qx, qy), 0.f) - b.r;
}
float coverage(const Box& b, float px, float py) { return std::clamp(0.5f - distance(b, px, py), 0.f, 1.f); }

// Shades a box with `paint`, weighting each pixel by `weight` (coverage, ring, halo...).
template <class Weight>
void shade(SDL_Surface* s, const Box& b, const Paint& paint, Weight weight) {
  for (int y = 0; y < s->h; ++y) {
    const float t = std::clamp((y + 0.5f - b.y) / b.h, 0.f, 1.f);
    const Color c = mix(paint.top, paint.bottom, t);
    const float a = paint.alphaTop + (paint.alphaBottom - paint.alphaTop) * t;
    for (int x = 0; x < s->w; ++x) blend(s, x, y, c, a * weight(x + 0.5f, y + 0.5f));
  }
}
void fillBox(SDL_Surface* s, const Box& b, const Paint& p) {
  shade(s, b, p, [&](float x, float y) { return coverage(b, x, y); });
}
void strokeBox(SDL_Surface* s, const Box& b, const Paint& p) {
  const Box inner = grow(b, -1);
  shade(s, b, p, [&](float x, float y) { return coverage(b, x, y) - coverage(inner, x, y); });
}
// Soft halo outside the box that fades to nothing over `spread` pixels.
void haloBox(SDL_Surface* s, const Box& b, Color c, float alpha, float spread) {
  shade(s, b, {c, c, alpha, alpha}, [&](float x, float y) {
    const float d = distance(b, x, y);
    return d <= 0 ? 0.f : std::pow(std::max(0.f, 1 - d / spread), 2.f);
  });
}
void ellipseGlow(SDL_Surface* s, float cx, float cy, float rx, float ry, Color c, float alpha) {
  shade(s, {0, 0, 1, 1, 0}, {c, c, alpha, alpha},
        [&](float x, float y) { return std::pow(std::max(0.f, 1 - std::hypot((x - cx) / rx, (y - cy) / ry)), 2.f); });
}

// Text is handled as an alpha mask so it can be tinted, blurred and shadowed.
struct Mask {
  int w, h, inkTop = 0, inkBottom = 0;
  std::vector<float> a = std::vector<float>(static_cast<size_t>(w * h), 0.f);
  float& at(int x, int y) { return a[static_cast<size_t>(y * w + x)]; }
  float get(int x, int y) const { return x < 0 || y < 0 || x >= w || y >= h ? 0.f : a[static_cast<size_t>(y * w + x)]; }
  void findInk() {
    inkTop = h;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (get(x, y) > 0.1f) inkTop = std::min(inkTop, y), inkBottom = std::max(inkBottom, y + 1);
  }
};

void stamp(Mask& m, TTF_Font* font, const std::string& text, int penX) {
  Surface raw{TTF_RenderUTF8_Blended(font, text.c_str(), {255, 255, 255, 255})};
  if (!raw) fail("TTF_RenderUTF8_Blended");
  Surface rgba{SDL_ConvertSurfaceFormat(raw.get(), SDL_PIXELFORMAT_RGBA32, 0)};
  if (!rgba) fail("SDL_ConvertSurfaceFormat");
  for (int y = 0; y < std::min(rgba->h, m.h); ++y)
    for (int x = 0; x < rgba->w && penX + x < m.w; ++x)
      m.at(penX + x, y) =
          std::max(m.at(penX + x, y), static_cast<Uint8*>(rgba->pixels)[y * rgba->pitch + x * 4 + 3] / 255.f);
}

// Extra `tracking` pixels between letters means laying glyphs out one at a time,
// so plain text is rendered whole to keep the font's kerning.
Mask textMask(TTF_Font* font, const std::string& text, int tracking = 0) {
  std::vector<std::string> pieces;
  if (tracking == 0)
    pieces.push_back(text);
  else
    for (char c : text) pieces.emplace_back(1, c);
  std::vector<int> pens{0};
  int h = 0;
  for (const std::string& piece : pieces) {
    int w = 0;
    TTF_SizeUTF8(font, piece.c_str(), &w, &h);
    pens.push_back(pens.back() + w + tracking);
  }
  Mask m{pens.back() - tracking, h};
  for (size_t i = 0; i < pieces.size(); ++i) stamp(m, font, pieces[i], pens[i]);
  m.findInk();
  return m;
}

// Two box-blur passes per axis approximate a gaussian glow; pads by `r` on each side.
Mask blurred(const Mask& src, int r) {
  Mask m{src.w + 2 * r, src.h + 2 * r};
  for (int y = 0; y < m.h; ++y)
    for (int x = 0; x < m.w; ++x) m.at(x, y) = src.get(x - r, y - r);
  auto pass = [&](int dx, int dy) {
    Mask out = m;
    for (int y = 0; y < m.h; ++y)
      for (int x = 0; x < m.w; ++x) {
        float sum = 0;
        for (int k = -r / 2; k <= r / 2; ++k) sum += m.get(x + k * dx, y + k * dy);
        out.at(x, y) = sum / static_cast<float>(r / 2 * 2 + 1);
      }
    m = std::move(out);
  };
  for (int i = 0; i < 2; ++i) pass(1, 0), pass(0, 1);
  return m;
}

// The gradient spans the inked rows, not the font's full line height.
void drawMask(SDL_Surface* s, const Mask& m, int ox, int oy, const Paint& p) {
  const Box ink{0, static_cast<float>(oy + m.inkTop), 1, static_cast<float>(std::max(m.inkBottom - m.inkTop, 1)), 0};
  shade(s, ink, p, [&](float x, float y) { return m.get(static_cast<int>(x) - ox, static_cast<int>(y) - oy); });
}

struct Glow {
  Color color;
  float alpha;
  int radius;
};
struct Shadow {
  Color color;
  float alpha;
  int dy;
};

// Centres the label's ink on (cx, cy) and draws glow, shadow and face in that order.
void drawLabel(SDL_Surface* s, const Mask& m, float cx, float cy, const Paint& face, const Glow* glow = nullptr,
               const Shadow* shadow = nullptr) {
  const int x = static_cast<int>(std::lround(cx - m.w / 2.f));
  const int y = static_cast<int>(std::lround(cy - (m.inkTop + m.inkBottom) / 2.f));
  if (glow) {
    const Mask halo = blurred(m, glow->radius);
    drawMask(s, halo, x - glow->radius, y - glow->radius, {glow->color, glow->color, glow->alpha, glow->alpha});
  }
  if (shadow) drawMask(s, m, x, y + shadow->dy, {shadow->color, shadow->color, shadow->alpha, shadow->alpha});
  drawMask(s, m, x, y, face);
}

Font openFont(const fs::path& path, int size) {
  Font f{TTF_OpenFont(path.string().c_str(), size)};
  if (!f) fail("TTF_OpenFont " + path.string());
  return f;
}

constexpr Color kBlack{0, 0, 0}, kWhite{255, 255, 255}, kLogBlue{0, 127, 255};

Surface drawSplash(const fs::path& titleFont, const fs::path& monoFont) {
  Surface s = blankCanvas(184, 136);
  const Box panel{0.5f, 0.5f, 183, 135, 10};
  fillBox(s.get(), panel, {{24, 34, 60}, {5, 8, 16}});
  fillBox(s.get(), {panel.x, panel.y, panel.w, 60, panel.r}, {kWhite, kWhite, 0.05f, 0.f});
  ellipseGlow(s.get(), 92, 56, 96, 40, kLogBlue, 0.22f);
  strokeBox(s.get(), panel, {kLogBlue, kLogBlue, 0.85f, 0.5f});
  strokeBox(s.get(), grow(panel, -1), {kWhite, kWhite, 0.10f, 0.f});
  const Glow glow{{0, 140, 255}, 0.95f, 6};
  const Shadow shadow{kBlack, 0.8f, 2};
  drawLabel(s.get(), textMask(openFont(titleFont, 30).get(), "QUARVEL"), 92, 58, {kWhite, {140, 195, 255}}, &glow,
            &shadow);
  for (int x = 32; x < 152; ++x) {  // separator that fades out towards both ends
    const float t = (x - 92) / 60.f;
    blend(s.get(), x, 84, kLogBlue, 0.9f * (1 - t * t));
  }
  drawLabel(s.get(), textMask(openFont(monoFont, 11).get(), "LAUNCHER", 4), 92, 99, {{120, 185, 255}, {0, 127, 225}});
  return s;
}

// Each button face paints one state onto the same body so the three images line up.
void disabledFace(SDL_Surface* s, const Box& body, const Mask& label) {
  fillBox(s, grow(body, 1.5f), {{26, 27, 30}, {18, 18, 20}});
  fillBox(s, body, {{66, 68, 72}, {52, 53, 57}});
  strokeBox(s, body, {{110, 112, 118}, {110, 112, 118}, 0.35f, 0.1f});
  drawLabel(s, label, body.x + body.w / 2, body.y + body.h / 2, {{112, 114, 120}, {98, 100, 106}});
}

void pressedFace(SDL_Surface* s, const Box& body, const Mask& label) {
  haloBox(s, body, kLogBlue, 0.18f, 8);
  fillBox(s, grow(body, 1.5f), {{2, 22, 58}, {1, 12, 34}});
  fillBox(s, body, {{0, 52, 130}, {10, 100, 205}});
  fillBox(s, {body.x, body.y, body.w, 22, body.r}, {kBlack, kBlack, 0.55f, 0.f});  // inset shadow
  strokeBox(s, body, {kBlack, {90, 170, 255}, 0.6f, 0.35f});
  const Shadow shadow{{0, 20, 60}, 0.7f, 1};
  drawLabel(s, label, body.x + body.w / 2, body.y + body.h / 2 + 2, {{200, 222, 250}, {160, 195, 240}}, nullptr,
            &shadow);
}

void enabledFace(SDL_Surface* s, const Box& body, const Mask& label) {
  haloBox(s, body, kLogBlue, 0.35f, 8);
  fillBox(s, grow(body, 1.5f), {{2, 22, 58}, {1, 12, 34}});
  fillBox(s, body, {{64, 168, 255}, {0, 84, 196}});
  fillBox(s, {body.x + 3, body.y + 2, body.w - 6, body.h * 0.48f, body.r - 3},
          {kWhite, kWhite, 0.42f, 0.06f});  // gloss
  strokeBox(s, body, {{200, 235, 255}, {0, 30, 80}, 0.85f, 0.8f});
  const Shadow shadow{{0, 34, 96}, 0.85f, 2};
  drawLabel(s, label, body.x + body.w / 2, body.y + body.h / 2, {kWhite, {215, 235, 255}}, nullptr, &shadow);
}

using ButtonFace = void (*)(SDL_Surface*, const Box&, const Mask&);

Surface drawButton(const fs::path& titleFont, ButtonFace face) {
  Surface s = blankCanvas(200, 80);
  face(s.get(), {9, 9, 182, 62, 15}, textMask(openFont(titleFont, 26).get(), "LAUNCH"));
  return s;
}

Surface drawIcon(const fs::path& titleFont) {
  Surface s = blankCanvas(64, 64);
  const Box tile{2, 2, 60, 60, 13};
  fillBox(s.get(), tile, {{22, 42, 84}, {4, 9, 22}});
  ellipseGlow(s.get(), 32, 30, 30, 30, kLogBlue, 0.3f);
  strokeBox(s.get(), tile, {{90, 175, 255}, kLogBlue, 0.95f, 0.5f});
  const Glow glow{{0, 140, 255}, 0.9f, 4};
  const Shadow shadow{kBlack, 0.7f, 1};
  drawLabel(s.get(), textMask(openFont(titleFont, 46).get(), "Q"), 32, 30, {kWhite, {150, 205, 255}}, &glow, &shadow);
  return s;
}

void save(const Surface& s, const fs::path& path) {
  if (IMG_SavePNG(s.get(), path.string().c_str()) != 0) fail("IMG_SavePNG " + path.string());
  std::printf("wrote %s (%dx%d)\n", path.string().c_str(), s->w, s->h);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    fs::path root = fs::canonical(argc > 1 ? fs::path(argv[1]) : fs::current_path());
    if (root.filename() == "assets") root = root.parent_path();
    const fs::path assets = root / "assets", title = root / "tools" / "TitleFont.ttf", mono = assets / logFontFile;
    SdlSession sdl;
    TtfSession ttf;
    save(drawSplash(title, mono), assets / splashImage);
    save(drawButton(title, enabledFace), assets / launchImage);
    save(drawButton(title, pressedFace), assets / launchPressedImage);
    save(drawButton(title, disabledFace), assets / launchDisabledImage);
    save(drawIcon(title), assets / iconImage);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_assets: %s\n", e.what());
    return 1;
  }
  return 0;
}
