#include "support/TestSupport.h"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <array>

namespace {

constexpr Uint32 outline = 0x007FFF, ink = 0x007FE1, black = 0;  // pixels as 0xRRGGBB

// The whole last frame, read back from the renderer.
struct Frame {
  explicit Frame(Launcher& launcher) {
    launcher.render();
    SDL_RenderReadPixels(LauncherProbe::renderer(launcher), nullptr, SDL_PIXELFORMAT_ARGB8888, pixels.data(), 640 * 4);
  }
  Uint32 at(int x, int y) const { return pixels[static_cast<std::size_t>(y * 640 + x)] & 0xFFFFFF; }
  std::vector<Uint32> pixels = std::vector<Uint32>(640 * 480);
};

Uint32 imagePixel(const char* file, int x, int y) {
  SurfacePtr loaded(IMG_Load(file));
  SurfacePtr image(SDL_ConvertSurfaceFormat(loaded.get(), SDL_PIXELFORMAT_ARGB8888, 0));
  return static_cast<const Uint32*>(image->pixels)[y * image->pitch / 4 + x] & 0xFFFFFF;
}

void push(int type, int button = 0, int x = 0, int y = 0) {
  SDL_Event e{};
  e.button = {static_cast<Uint32>(type), 0, 0, 0, static_cast<Uint8>(button), 0, 0, 0, x, y};
  SDL_PushEvent(&e);
}

class Window : public testing::Test {
 protected:
  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(Window, OnlyALeftClickPressedOnTheEnabledButtonStartsTheGame) {
  // Enable: the update is done from here on; Click: a press and a release at one place.
  constexpr int Down = SDL_MOUSEBUTTONDOWN, Up = SDL_MOUSEBUTTONUP, Enable = 0, Click = 1;
  constexpr int L = SDL_BUTTON_LEFT, R = SDL_BUTTON_RIGHT, M = SDL_BUTTON_MIDDLE;
  using Event = std::array<int, 4>;  // type, button, x, y
  // The button covers x 220 to 419 and y 380 to 459: half-open on both axes.
  const std::tuple<const char*, std::vector<Event>, int> cases[] = {
      {"disabled; enabled mid-click", {{Click, L, 320, 420}, {Down, L, 320, 420}, {Enable}, {Up, L, 320, 420}}, 0},
      {"its corners", {{Enable}, {Click, L, 220, 380}, {Click, L, 419, 459}}, 2},
      {"right of it and below it", {{Enable}, {Click, L, 420, 420}, {Click, L, 320, 460}}, 0},
      {"left of it and above it", {{Enable}, {Click, L, 219, 420}, {Click, L, 320, 379}}, 0},
      {"other buttons", {{Enable}, {Click, R, 320, 420}, {Click, M, 320, 420}}, 0},
      {"pressed outside, released on it", {{Enable}, {Down, L, 10, 10}, {Up, L, 320, 420}}, 0},
      {"released anywhere", {{Enable}, {Down, L, 300, 400}, {SDL_MOUSEMOTION}, {Up, R, 10, 10}, {Up, L, 10, 10}}, 1},
  };
  dir.write("game/details/Quarvel.exe", "#!/bin/sh\npwd >> '" + (dir.path() / "started").string() + "'\n");
  fs::permissions(dir.path() / "game/details/Quarvel.exe", fs::perms::owner_all);
  const std::string gameFolder = (fs::canonical(dir.path()) / "game/details").string() + "\n";
  const std::string startsLeave[] = {"", gameFolder, gameFolder + gameFolder};
  for (const auto& [what, events, starts] : cases) {
    LauncherProbe::setReady(launcher, false);
    fs::remove(dir.path() / "started");
    for (const auto& [type, button, x, y] : events) {
      if (type != Enable) push(type == Click ? Down : type, button, x, y);
      if (type == Click) push(Up, button, x, y);
      if (type == Enable) LauncherProbe::setReady(launcher, launcher.handleEvents());  // after what came before
    }
    EXPECT_TRUE(launcher.handleEvents());
    EXPECT_FALSE(launcher.isButtonPressed()) << what;
    EXPECT_EQ(dir.read("started"), startsLeave[starts]) << what;
  }
  EXPECT_EQ(fs::current_path(), dir.path());  // the launcher's own stays where it was
}

TEST_F(Window, QWithAnyModifierOrTheCloseButtonQuitsOtherKeysDoNot) {
  const auto quits = [this](SDL_Keycode key, Uint16 mod, Uint8 repeat = 0) {
    SDL_Event e{};
    e.key = {SDL_KEYDOWN, 0, 0, SDL_PRESSED, repeat, 0, 0, {SDL_SCANCODE_UNKNOWN, key, mod, 0}};
    SDL_PushEvent(&e);
    push(SDL_QUIT);  // the window's quit event is no way to close the launcher
    const bool quit = !launcher.handleEvents();
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);  // what an early return left queued
    return quit;
  };
  for (Uint16 mod : {KMOD_NONE, KMOD_LSHIFT, KMOD_LCTRL, KMOD_LALT}) EXPECT_TRUE(quits(SDLK_q, mod)) << mod;
  EXPECT_TRUE(quits(SDLK_q, KMOD_NONE, 1));
  EXPECT_FALSE(quits(SDLK_w, KMOD_NONE));
  SDL_Event close{};  // what SDL makes of a window manager's close request
  const Uint32 id = SDL_GetWindowID(SDL_RenderGetWindow(LauncherProbe::renderer(launcher)));
  close.window = {SDL_WINDOWEVENT, 0, id, SDL_WINDOWEVENT_CLOSE, 0, 0, 0, 0, 0};
  EXPECT_TRUE(SDL_PushEvent(&close) == 1 && !launcher.handleEvents());
}

TEST_F(Window, FrameShowsOutlineSplashFirstLogLineAndEachButtonLook) {
  launcher.addLogLine("Mg");
  const Frame frame(launcher);
  EXPECT_EQ(frame.at(20, 176), outline);
  EXPECT_EQ(frame.at(320, 20 + 68), imagePixel("quarvel_splash.png", 92, 68));
  // The line's inked pixels sit where the log puts its first line, at (22,178).
  std::unique_ptr<TTF_Font, void (*)(TTF_Font*)> font(TTF_OpenFont("LTYPE.TTF", 12), TTF_CloseFont);
  SurfacePtr line(TTF_RenderText_Solid(font.get(), "Mg", SDL_Color{0, 127, 225, 255}));
  for (int y = 0; y < line->h; ++y)
    for (int x = 0; x < line->w; ++x)
      ASSERT_EQ(frame.at(22 + x, 178 + y), static_cast<const Uint8*>(line->pixels)[y * line->pitch + x] ? ink : black)
          << x << "," << y;
  // The button, disabled until the update is done, pressed or not.
  const auto buttonPixel = [this] { return Frame(launcher).at(320, 420); };
  LauncherProbe::setPressed(launcher, true);
  EXPECT_EQ(buttonPixel(), imagePixel("launch_disabled.png", 100, 40));  // pressed, but not ready
  LauncherProbe::setReady(launcher);
  EXPECT_EQ(buttonPixel(), imagePixel("launch_pressed.png", 100, 40));
  LauncherProbe::setPressed(launcher, false);
  EXPECT_EQ(buttonPixel(), imagePixel("launch.png", 100, 40));
}

TEST_F(Window, LogTakesConcurrentWritersWhileFramesRender) {
  constexpr int writers = 6, linesEach = 150;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([this, w] {
      for (int i = 0; i < linesEach; ++i) launcher.addLogLine("w" + std::to_string(w) + " " + std::to_string(i));
    });
  for (int frame = 0; frame < 20; ++frame) launcher.render();
  for (auto& t : threads) t.join();
  // Every line of every writer is there once, and each writer's lines keep their order.
  std::vector<int> next(writers, 0);
  for (const auto& line : launcher.logLines()) EXPECT_EQ(line.substr(3), std::to_string(next.at(line.at(1) - '0')++));
  EXPECT_EQ(next, std::vector<int>(writers, linesEach));
}

TEST(WindowAssets, MissingImageIsReportedAndSkipped) {
  WorkDir dir;
  for (const char* image : {"launch.png", "quarvel_splash.png"}) fs::remove(dir.path() / image);
  testing::internal::CaptureStderr();
  Launcher launcher{"127.0.0.1:1/"};
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to locate image file quarvel_splash.png\nUnable to locate image file launch.png\n");
  EXPECT_EQ(Frame(launcher).at(320, 88), black);  // no splash: its rectangle stays black
}

// The dying child only reads the folder this process makes and removes.
TEST(WindowAssetsDeathTest, MissingIconOrFontEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "fast");
  for (const auto& [file, failure] : {std::pair{"quarvel_icon_black.png", "icon, file .*SDLHandler.cpp, line [0-9]+"},
                                      {"LTYPE.TTF", "font, file .*SDLHandler.cpp"}}) {
    WorkDir dir;
    fs::remove(dir.path() / file);
    EXPECT_DEATH(Launcher("127.0.0.1:1/").addLogLine("x"), std::string("Assertion failed: ") + failure);
  }
}

}  // namespace
