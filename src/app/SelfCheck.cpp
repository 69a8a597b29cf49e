#include "app/SelfCheck.h"

#include "app/BuildSettings.h"
#include "base/LauncherAssets.h"
#include "base/ReadFile.h"
#include "selfupdate/LauncherVersion.h"
#include "ui/SdlPtr.h"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

namespace {

// The keys file beside this program is what a launcher about to install it reads of whom it
// trusts; one that says otherwise than the program would mislead it.
bool keysFileMatches() {
  // A missing file says nothing, so a launcher that checks signatures refuses it anyway.
  if (!std::filesystem::exists(launcherKeysFileName)) return true;
  const std::string text = readFileUpTo(launcherKeysFileName, 64 << 10);
  std::string built = builtInSettings().publicKeys;
  std::ranges::replace(built, ',', '\n');
  return keysFileLines(text) == keysFileLines(built);
}

// The server file tells the studio's check where this launcher asks; it must say the truth too.
bool serverFileMatches() {
  if (!std::filesystem::exists(launcherServerFileName)) return true;
  const std::vector<std::string> lines = keysFileLines(readFileUpTo(launcherServerFileName, 4096));
  return lines == std::vector<std::string>{builtInSettings().serverUrl};
}

std::string mismatchedFile() {
  if (!keysFileMatches()) return std::string(launcherKeysFileName) + " does not name this launcher's keys";
  if (!serverFileMatches()) return std::string(launcherServerFileName) + " does not name this launcher's server";
  return {};
}

// Each step the launcher takes to start, short of opening a window: its libraries are
// loaded already when this runs, so what is left is the video system and the assets.
std::string firstFailure() {
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return std::string("no video: ") + SDL_GetError();
  if (TTF_Init() != 0) return std::string("no font library: ") + TTF_GetError();
  for (const std::string_view asset : launcherAssets)
    if (!asset.ends_with(".TTF") && !SurfacePtr(IMG_Load(asset.data())))
      return std::string(asset) + ": " + IMG_GetError();
  TTF_Font* font = TTF_OpenFont(logFontFile, 12);
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
  std::string failure = mismatchedFile();
  if (failure.empty()) failure = firstFailure();
  TTF_Quit();
  SDL_Quit();
  if (!failure.empty()) {
    std::cerr << "self-check: " << failure << std::endl;
    return 1;
  }
  return 0;
}
