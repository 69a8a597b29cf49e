#include "app/Launcher.h"
#include "base/Check.h"

#include <SDL_ttf.h>

#include <string>

namespace {

// The log's blue. The text library treats an alpha of 0 as fully transparent, so the
// colour is passed opaque to show on the black window.
constexpr SDL_Color logTextColour{0, 127, 225, 255};

}  // namespace

void Launcher::addLogLine(const std::string& text) { appendLogLine(text, false); }

void Launcher::appendLogLine(const std::string& text, bool progress) {
  {
    std::lock_guard lock(logMutex);
    SurfacePtr surface(TTF_RenderText_Solid(logFont.font.get(), text.c_str(), logTextColour));
    log.push_back(LogLine{text, std::move(surface)});
  }
  // Outside the lock, which guards the window's log alone; one stage writes at a time,
  // so the file keeps the window's order.
  progress ? logFile.progress(text) : logFile.line(text);
}

void Launcher::replaceLastLogLine(const std::string& text) {
  {
    std::lock_guard lock(logMutex);
    QUARVEL_CHECK(!log.empty());
    log.pop_back();
  }
  // A second hold of the lock: the mutex is not recursive.
  appendLogLine(text, true);
}

std::vector<std::string> Launcher::logLines() const {
  std::lock_guard lock(logMutex);
  std::vector<std::string> lines;
  lines.reserve(log.size());
  for (const LogLine& line : log) lines.push_back(line.text);
  return lines;
}
