#include "support/TestSupport.h"

#include <SDL_image.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <fstream>

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& c) {
  return out << "(" << c.r << "," << c.g << "," << c.b << ")";
}

// The whole last frame, read back from the renderer.
class Frame {
 public:
  explicit Frame(SDL_Renderer* renderer) : pixels_(640 * 480) {
    SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, pixels_.data(), 640 * 4);
  }
  Rgb at(int x, int y) const {
    const Uint32 p = pixels_[static_cast<std::size_t>(y * 640 + x)];
    return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
  }

 private:
  std::vector<Uint32> pixels_;
};

Rgb imagePixel(const char* file, int x, int y) {
  SurfacePtr loaded(IMG_Load(file));
  SurfacePtr image(SDL_ConvertSurfaceFormat(loaded.get(), SDL_PIXELFORMAT_ARGB8888, 0));
  const Uint32 p = static_cast<const Uint32*>(image->pixels)[y * image->pitch / 4 + x];
  return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
}

void pushMouse(Uint32 type, Uint8 button, int x, int y) {
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
    // The game program records that it ran, and where.
    dir.write("game/details/Quarvel.exe", "#!/bin/sh\npwd >> '" + (dir.path() / "started").string() + "'\n");
    fs::permissions(dir.path() / "game/details/Quarvel.exe", fs::perms::owner_all);
  }
  int starts() const {
    std::ifstream in(dir.path() / "started");
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
  Frame frame() {
    launcher.render();
    return Frame(LauncherProbe::renderer(launcher));
  }

  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(Window, ClicksCountOnlyInsideTheButtonOnceEnabled) {
  // Disabled: a full click on the button does nothing.
  pushMouse(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 320, 420);
  pushMouse(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 320, 420);
  EXPECT_TRUE(launcher.handleEvents());
  EXPECT_FALSE(launcher.isButtonPressed());
  LauncherProbe::setReady(launcher);

  // Half-open edges: the first column and row count, the ones past the end do not.
  const std::pair<int, int> inside[] = {{220, 380}, {419, 459}, {220, 459}, {419, 380}};
  const std::pair<int, int> outside[] = {{420, 420}, {320, 460}, {219, 420}, {320, 379}};
  for (auto [x, y] : outside) {
    pushMouse(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, x, y);
    launcher.handleEvents();
    EXPECT_FALSE(launcher.isButtonPressed()) << x << "," << y;
  }
  for (auto [x, y] : inside) {
    pushMouse(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, x, y);
    launcher.handleEvents();
    EXPECT_TRUE(launcher.isButtonPressed()) << x << "," << y;
    LauncherProbe::setPressed(launcher, false);
  }
  // Right and middle clicks, and a left press outside released on the button, do nothing.
  for (Uint8 button : {SDL_BUTTON_RIGHT, SDL_BUTTON_MIDDLE}) {
    pushMouse(SDL_MOUSEBUTTONDOWN, button, 320, 420);
    pushMouse(SDL_MOUSEBUTTONUP, button, 320, 420);
  }
  pushMouse(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 10, 10);
  pushMouse(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 320, 420);
  launcher.handleEvents();
  EXPECT_EQ(starts(), 0);
}

TEST_F(Window, PressOnButtonReleaseAnywhereStartsTheGame) {
  LauncherProbe::setReady(launcher);
  testing::internal::CaptureStdout();
  pushMouse(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 300, 400);
  pushMouse(SDL_MOUSEMOTION, 0, 10, 10);
  pushMouse(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 10, 10);  // another button changes nothing
  launcher.handleEvents();
  EXPECT_TRUE(launcher.isButtonPressed());
  pushMouse(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 10, 10);
  EXPECT_TRUE(launcher.handleEvents());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "cd game/details && \"./Quarvel.exe\"\n");
  EXPECT_FALSE(launcher.isButtonPressed());
  ASSERT_EQ(starts(), 1);
  EXPECT_EQ(dir.read("started"), (fs::canonical(dir.path()) / "game/details").string() + "\n");
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
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  SDL_PushEvent(&quit);
  EXPECT_TRUE(launcher.handleEvents());

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
  Frame empty = frame();
  const Rgb outline{0, 127, 255};
  EXPECT_EQ(empty.at(20, 176), outline);
  EXPECT_EQ(empty.at(619, 359), outline);
  EXPECT_EQ(empty.at(320, 176), outline);
  EXPECT_EQ(empty.at(21, 177), (Rgb{0, 0, 0}));
  EXPECT_EQ(empty.at(320, 20 + 68), imagePixel("quarvel_splash.png", 92, 68));

  // Each line's inked pixels sit where the log puts its surface: the first at (22,178),
  // the next one surface height below it.
  launcher.addLogLine("Mg");
  launcher.addLogLine("Mg");
  const Frame withText = frame();
  std::unique_ptr<TTF_Font, void (*)(TTF_Font*)> font(TTF_OpenFont("LTYPE.TTF", 12), TTF_CloseFont);
  SurfacePtr line(TTF_RenderText_Solid(font.get(), "Mg", SDL_Color{0, 127, 225, 255}));
  const auto inked = [&line](int x, int y) {
    return static_cast<const Uint8*>(line->pixels)[y * line->pitch + x] != 0;
  };
  for (int y = 0; y < line->h; ++y)
    for (int x = 0; x < line->w; ++x) {
      const Rgb expected = inked(x, y) ? Rgb{0, 127, 225} : Rgb{0, 0, 0};
      ASSERT_EQ(withText.at(22 + x, 178 + y), expected) << x << "," << y;
      ASSERT_EQ(withText.at(22 + x, 178 + line->h + y), expected) << x << "," << y;
    }
}

TEST_F(Window, ButtonShowsEachLook) {
  const auto buttonPixel = [this] { return frame().at(320, 420); };
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
  launcher.render();
  Frame f(LauncherProbe::renderer(launcher));
  EXPECT_EQ(f.at(320, 88), (Rgb{0, 0, 0}));  // no splash: its rectangle stays black
  EXPECT_EQ(f.at(20, 176), (Rgb{0, 127, 255}));
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
