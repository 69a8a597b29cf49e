#include "support/TestSupport.h"

#include <SDL_image.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <array>
#include <fstream>

namespace {

using Rgb = std::array<int, 3>;

Rgb rgb(Uint32 p) {
  return {static_cast<int>(p >> 16 & 0xFF), static_cast<int>(p >> 8 & 0xFF), static_cast<int>(p & 0xFF)};
}

// The whole last frame, read back from the renderer.
class Frame {
 public:
  explicit Frame(Launcher& launcher) : pixels_(640 * 480) {
    launcher.render();
    SDL_RenderReadPixels(LauncherProbe::renderer(launcher), nullptr, SDL_PIXELFORMAT_ARGB8888, pixels_.data(), 640 * 4);
  }
  Rgb at(int x, int y) const { return rgb(pixels_[static_cast<std::size_t>(y * 640 + x)]); }

 private:
  std::vector<Uint32> pixels_;
};

Rgb imagePixel(const char* file, int x, int y) {
  SurfacePtr loaded(IMG_Load(file));
  SurfacePtr image(SDL_ConvertSurfaceFormat(loaded.get(), SDL_PIXELFORMAT_ARGB8888, 0));
  return rgb(static_cast<const Uint32*>(image->pixels)[y * image->pitch / 4 + x]);
}

const Rgb outline{0, 127, 255}, black{0, 0, 0};

void push(Uint32 type, Uint8 button = 0, int x = 0, int y = 0) {
  SDL_Event e{};
  e.type = type;
  e.button.button = button;
  e.button.x = x;
  e.button.y = y;
  SDL_PushEvent(&e);
}

void pushKey(SDL_Keycode key, Uint16 mod = KMOD_NONE, Uint8 repeat = 0) {
  SDL_Event e{};
  e.type = SDL_KEYDOWN;
  e.key.keysym.sym = key;
  e.key.keysym.mod = mod;
  e.key.repeat = repeat;
  SDL_PushEvent(&e);
}

class Window : public testing::Test {
 protected:
  Window() {
    // The game program records where it ran, one line per start.
    dir.write("game/details/Quarvel.exe", "#!/bin/sh\npwd >> '" + (dir.path() / "started").string() + "'\n");
    fs::permissions(dir.path() / "game/details/Quarvel.exe", fs::perms::owner_all);
  }
  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(Window, OnlyALeftClickPressedOnTheEnabledButtonStartsTheGame) {
  constexpr Uint32 Down = SDL_MOUSEBUTTONDOWN, Up = SDL_MOUSEBUTTONUP, Motion = SDL_MOUSEMOTION, Enable = 0;
  constexpr Uint8 L = SDL_BUTTON_LEFT, R = SDL_BUTTON_RIGHT, M = SDL_BUTTON_MIDDLE;
  struct Event {
    Uint32 type;
    Uint8 button = 0;
    int x = 0, y = 0;
  };
  struct Case {
    const char* what;
    std::vector<Event> events;  // Enable: the update is done from here on
    int starts;
  };
  // The button covers x 220 to 419 and y 380 to 459: half-open on both axes.
  const Case cases[] = {
      {"disabled", {{Down, L, 320, 420}, {Up, L, 320, 420}}, 0},
      {"pressed while disabled, released once enabled", {{Down, L, 320, 420}, {Enable}, {Up, L, 320, 420}}, 0},
      {"top left corner", {{Enable}, {Down, L, 220, 380}, {Up, L, 220, 380}}, 1},
      {"bottom right corner", {{Enable}, {Down, L, 419, 459}, {Up, L, 419, 459}}, 1},
      {"right of it", {{Enable}, {Down, L, 420, 420}, {Up, L, 420, 420}}, 0},
      {"below it", {{Enable}, {Down, L, 320, 460}, {Up, L, 320, 460}}, 0},
      {"left of it", {{Enable}, {Down, L, 219, 420}, {Up, L, 219, 420}}, 0},
      {"above it", {{Enable}, {Down, L, 320, 379}, {Up, L, 320, 379}}, 0},
      {"other buttons", {{Enable}, {Down, R, 320, 420}, {Up, R, 320, 420}, {Down, M, 320, 420}, {Up, M, 320, 420}}, 0},
      {"pressed outside, released on it", {{Enable}, {Down, L, 10, 10}, {Up, L, 320, 420}}, 0},
      {"released anywhere", {{Enable}, {Down, L, 300, 400}, {Motion}, {Up, R, 10, 10}, {Up, L, 10, 10}}, 1},
      {"double click", {{Enable}, {Down, L, 320, 420}, {Up, L, 320, 420}, {Down, L, 320, 420}, {Up, L, 320, 420}}, 2},
  };
  testing::internal::CaptureStdout();
  int total = 0;
  for (const Case& c : cases) {
    LauncherProbe::setReady(launcher, false);
    LauncherProbe::setPressed(launcher, false);
    fs::remove(dir.path() / "started");
    for (const Event& e : c.events) {
      if (e.type != Enable) {
        push(e.type, e.button, e.x, e.y);
        continue;
      }
      EXPECT_TRUE(launcher.handleEvents());
      LauncherProbe::setReady(launcher);
    }
    EXPECT_TRUE(launcher.handleEvents());
    EXPECT_FALSE(launcher.isButtonPressed()) << c.what;
    std::ifstream started(dir.path() / "started");
    int starts = 0;
    for (std::string line; std::getline(started, line); ++starts)
      EXPECT_EQ(line, (fs::canonical(dir.path()) / "game/details").string()) << c.what;
    EXPECT_EQ(starts, c.starts) << c.what;
    total += starts;
  }
  std::string expected;
  for (int i = 0; i < total; ++i) expected += "cd game/details && \"./Quarvel.exe\"\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
  EXPECT_EQ(fs::current_path(), dir.path());  // the launcher's own stays where it was
}

TEST_F(Window, QWithAnyModifierAndCloseRequestQuit) {
  // An early return leaves SDL's end-of-poll marker queued; flushing drops it between cases.
  const auto quits = [this] {
    const bool quit = !launcher.handleEvents();
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    return quit;
  };
  for (Uint16 mod : {KMOD_NONE, KMOD_LSHIFT, KMOD_LCTRL, KMOD_LALT}) {
    pushKey(SDLK_q, mod);
    EXPECT_TRUE(quits()) << mod;
  }
  pushKey(SDLK_q, KMOD_NONE, 1);
  EXPECT_TRUE(quits());
  pushKey(SDLK_w);
  push(SDL_QUIT);
  EXPECT_FALSE(quits());

  // Quitting leaves later events queued.
  SDL_Event close{};
  close.type = SDL_WINDOWEVENT;
  close.window.event = SDL_WINDOWEVENT_CLOSE;
  SDL_PushEvent(&close);
  pushKey(SDLK_a);
  EXPECT_FALSE(launcher.handleEvents());
  SDL_Event left{};
  EXPECT_EQ(SDL_PollEvent(&left), 1);
  EXPECT_EQ(left.type, static_cast<Uint32>(SDL_KEYDOWN));
}

TEST_F(Window, FrameLayoutOutlineAndText) {
  const Frame empty(launcher);
  for (auto [x, y] : {std::pair{20, 176}, {619, 359}, {320, 176}}) EXPECT_EQ(empty.at(x, y), outline) << x << "," << y;
  EXPECT_EQ(empty.at(21, 177), black);
  EXPECT_EQ(empty.at(320, 20 + 68), imagePixel("quarvel_splash.png", 92, 68));

  // Each line's inked pixels sit where the log puts its surface: the first at (22,178),
  // the next one surface height below it.
  launcher.addLogLine("Mg");
  launcher.addLogLine("Mg");
  const Frame withText(launcher);
  std::unique_ptr<TTF_Font, void (*)(TTF_Font*)> font(TTF_OpenFont("LTYPE.TTF", 12), TTF_CloseFont);
  SurfacePtr line(TTF_RenderText_Solid(font.get(), "Mg", SDL_Color{0, 127, 225, 255}));
  for (int y = 0; y < line->h; ++y)
    for (int x = 0; x < line->w; ++x) {
      const bool inked = static_cast<const Uint8*>(line->pixels)[y * line->pitch + x] != 0;
      const Rgb expected = inked ? Rgb{0, 127, 225} : black;
      ASSERT_EQ(withText.at(22 + x, 178 + y), expected) << x << "," << y;
      ASSERT_EQ(withText.at(22 + x, 178 + line->h + y), expected) << x << "," << y;
    }
}

TEST_F(Window, ButtonShowsEachLook) {
  const auto buttonPixel = [this] { return Frame(launcher).at(320, 420); };
  const Rgb disabled = imagePixel("launch_disabled.png", 100, 40);
  const Rgb normal = imagePixel("launch.png", 100, 40);
  const Rgb pressed = imagePixel("launch_pressed.png", 100, 40);
  ASSERT_NE(disabled, normal);
  ASSERT_NE(pressed, normal);

  EXPECT_EQ(buttonPixel(), disabled);
  LauncherProbe::setPressed(launcher, true);
  EXPECT_EQ(buttonPixel(), disabled);  // not ready: pressed or not, it stays disabled
  LauncherProbe::setReady(launcher);
  EXPECT_EQ(buttonPixel(), pressed);
  LauncherProbe::setPressed(launcher, false);
  EXPECT_EQ(buttonPixel(), normal);
}

TEST(WindowAssets, MissingImageIsReportedAndSkipped) {
  WorkDir dir;
  fs::remove(dir.path() / "launch.png");
  fs::remove(dir.path() / "quarvel_splash.png");
  testing::internal::CaptureStderr();
  Launcher launcher{"127.0.0.1:1/"};
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to locate image file quarvel_splash.png\nUnable to locate image file launch.png\n");
  EXPECT_EQ(LauncherProbe::textureCount(launcher), 2u);
  const Frame f(launcher);
  EXPECT_EQ(f.at(320, 88), black);  // no splash: its rectangle stays black
  EXPECT_EQ(f.at(20, 176), outline);
}

TEST(WindowAssetsDeathTest, MissingIconOrFontEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        WorkDir dir;
        fs::remove(dir.path() / "quarvel_icon_black.png");
        Launcher launcher{"127.0.0.1:1/"};
      },
      "Assertion failed: icon, file .*SDLHandler.cpp, line [0-9]+");
  EXPECT_DEATH(
      {
        WorkDir dir;
        fs::remove(dir.path() / "LTYPE.TTF");
        Launcher launcher{"127.0.0.1:1/"};
        launcher.addLogLine("x");
      },
      "Assertion failed: font, file .*MessageLog.cpp");
}

}  // namespace
