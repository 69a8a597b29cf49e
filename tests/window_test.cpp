#include "support/TestSupport.h"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <array>

namespace {

using Rgb = std::array<int, 3>;

Rgb rgb(Uint32 p) {
  return {static_cast<int>(p >> 16 & 0xFF), static_cast<int>(p >> 8 & 0xFF), static_cast<int>(p & 0xFF)};
}

// The whole last frame, read back from the renderer.
struct Frame {
  explicit Frame(Launcher& launcher) {
    launcher.render();
    SDL_RenderReadPixels(LauncherProbe::renderer(launcher), nullptr, SDL_PIXELFORMAT_ARGB8888, pixels.data(), 640 * 4);
  }
  Rgb at(int x, int y) const { return rgb(pixels[static_cast<std::size_t>(y * 640 + x)]); }
  std::vector<Uint32> pixels = std::vector<Uint32>(640 * 480);
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
      {"its corners", {{Enable}, {Down, L, 220, 380}, {Up, L, 220, 380}, {Down, L, 419, 459}, {Up, L, 419, 459}}, 2},
      {"just outside each edge",
       {{Enable},
        {Down, L, 420, 420},
        {Up, L},
        {Down, L, 320, 460},
        {Up, L},
        {Down, L, 219, 420},
        {Up, L},
        {Down, L, 320, 379},
        {Up, L}},
       0},
      {"other buttons", {{Enable}, {Down, R, 320, 420}, {Up, R, 320, 420}, {Down, M, 320, 420}, {Up, M, 320, 420}}, 0},
      {"pressed outside, released on it", {{Enable}, {Down, L, 10, 10}, {Up, L, 320, 420}}, 0},
      {"released anywhere", {{Enable}, {Down, L, 300, 400}, {Motion}, {Up, R, 10, 10}, {Up, L, 10, 10}}, 1},
  };
  const std::string gameFolder = (fs::canonical(dir.path()) / "game/details").string() + "\n";
  for (const Case& c : cases) {
    LauncherProbe::setReady(launcher, false);
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
    std::string started;
    for (int i = 0; i < c.starts; ++i) started += gameFolder;
    EXPECT_EQ(dir.read("started"), started) << c.what;
  }
  EXPECT_EQ(fs::current_path(), dir.path());  // the launcher's own stays where it was
}

// Closing the window is driven through a real window manager's request end to end.
TEST_F(Window, QWithAnyModifierQuitsOtherKeysDoNot) {
  for (const auto& [key, mod, repeat] : {std::tuple{SDLK_q, KMOD_NONE, 0},
                                         {SDLK_q, KMOD_LSHIFT, 0},
                                         {SDLK_q, KMOD_LCTRL, 0},
                                         {SDLK_q, KMOD_LALT, 0},
                                         {SDLK_q, KMOD_NONE, 1},
                                         {SDLK_w, KMOD_NONE, 0}}) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym = {SDL_SCANCODE_UNKNOWN, key, static_cast<Uint16>(mod), 0};
    e.key.repeat = static_cast<Uint8>(repeat);
    SDL_PushEvent(&e);
    push(SDL_QUIT);  // the window's quit event is no way to close the launcher
    EXPECT_EQ(launcher.handleEvents(), key != SDLK_q) << key << " " << mod;
    // An early return leaves the rest queued; flushing drops it between cases.
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
  }
}

TEST_F(Window, FrameShowsOutlineSplashAndFirstLogLine) {
  launcher.addLogLine("Mg");
  const Frame frame(launcher);
  EXPECT_EQ(frame.at(20, 176), outline);
  EXPECT_EQ(frame.at(320, 20 + 68), imagePixel("quarvel_splash.png", 92, 68));
  // The line's inked pixels sit where the log puts its first line, at (22,178).
  std::unique_ptr<TTF_Font, void (*)(TTF_Font*)> font(TTF_OpenFont("LTYPE.TTF", 12), TTF_CloseFont);
  SurfacePtr line(TTF_RenderText_Solid(font.get(), "Mg", SDL_Color{0, 127, 225, 255}));
  for (int y = 0; y < line->h; ++y)
    for (int x = 0; x < line->w; ++x) {
      const bool inked = static_cast<const Uint8*>(line->pixels)[y * line->pitch + x] != 0;
      ASSERT_EQ(frame.at(22 + x, 178 + y), (inked ? Rgb{0, 127, 225} : black)) << x << "," << y;
    }
}

TEST_F(Window, ButtonShowsEachLook) {
  const auto buttonPixel = [this] { return Frame(launcher).at(320, 420); };
  const Rgb disabled = imagePixel("launch_disabled.png", 100, 40);
  EXPECT_EQ(buttonPixel(), disabled);
  LauncherProbe::setPressed(launcher, true);
  EXPECT_EQ(buttonPixel(), disabled);  // not ready: pressed or not, it stays disabled
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
  fs::remove(dir.path() / "launch.png");
  fs::remove(dir.path() / "quarvel_splash.png");
  testing::internal::CaptureStderr();
  Launcher launcher{"127.0.0.1:1/"};
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to locate image file quarvel_splash.png\nUnable to locate image file launch.png\n");
  EXPECT_EQ(Frame(launcher).at(320, 88), black);  // no splash: its rectangle stays black
}

// The folders are made and removed by this process; the forked child that dies only
// reads them, so nothing is left behind in the temporary folder.
TEST(WindowAssetsDeathTest, MissingIconOrFontEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "fast");
  {
    WorkDir dir;
    fs::remove(dir.path() / "quarvel_icon_black.png");
    EXPECT_DEATH(Launcher("127.0.0.1:1/"), "Assertion failed: icon, file .*SDLHandler.cpp, line [0-9]+");
  }
  WorkDir dir;
  fs::remove(dir.path() / "LTYPE.TTF");
  EXPECT_DEATH(Launcher("127.0.0.1:1/").addLogLine("x"), "Assertion failed: font, file .*MessageLog.cpp");
}

}  // namespace
