#pragma once

#include "app/BuildSettings.h"
#include "app/LogFile.h"
#include "base/Duration.h"
#include "base/OwnNames.h"
#include "base/Report.h"
#include "base/StopToken.h"
#include "platform/Platform.h"
#include "selfupdate/SelfUpdate.h"
#include "ui/SDLHandler.h"
#include "update/UpdateRun.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* anotherLauncherLine = "Another Quarvel Launcher is already running in this folder.";

// Blocks the calling thread for the given time; zero or less returns at once.
void sleepFor(Milliseconds duration);

// The launcher: the window, the message log and the update pipeline, whose
// stages run one after another on worker threads.
class Launcher : public SDLHandler, private Report {
 public:
  Launcher();
  explicit Launcher(std::string serverUrl);
  explicit Launcher(const LauncherSettings& settings);
  ~Launcher();

  // Frame loop, main thread only.
  bool handleEvents();
  void update();
  void render();

  // Message log, any thread.
  void addLogLine(const std::string& text);
  void replaceLastLogLine(const std::string& text);
  std::vector<std::string> logLines() const;
  // A line for the log file alone, where players send the studio what went wrong.
  void logDetail(const std::string& text) { logFile.detail(text); }

  // Stage routines; each runs on its own worker thread.
  void checkInstalledVersion();
  void checkLatestVersion();
  void downloadPackage();
  bool extractPackage();
  void reportReady();

  std::unique_ptr<VersionInfo> readVersionFile(const char* path);
  void downloadFile(const char* url, const char* path);
  void launchGame();
  // Once, after the first frame drawn, main thread: it confirms an updated launcher.
  void firstFrameShown();

  // Shutdown: asks running work to stop at its next step, then waits up to limit
  // for the worker threads; false when one is still blocked (a stalled transfer).
  void requestStop();
  bool waitForWorkers(Milliseconds limit);
  // Both with a bound: when a worker is still blocked after it, the process ends here,
  // so that nothing is torn down under that worker.
  void shutDown();

  // True when no stage routine is running and the sequencer has acted on the last store.
  bool pipelineIdle() const { return runningWorkers.load() == 0 && stage.load() == lastStage; }
  UpdateStage currentStage() const { return stage.load(); }
  bool isReadyToLaunch() const { return readyToLaunch.load(); }
  bool isButtonPressed() const { return buttonPressed; }

 private:
  friend struct LauncherProbe;  // tests set up and read state between stages

  void runStage(UpdateStage s);
  void appendLogLine(const std::string& text, bool progress);
  void logStartDetails();
  void startStage(UpdateStage s);
  // The report that every routine it runs takes.
  void addLine(const std::string& text) override { addLogLine(text); }
  void replaceLine(const std::string& text) override { replaceLastLogLine(text); }
  void detail(const std::string& text) override { logDetail(text); }
  bool stopRequested() const override { return stop.requested(); }
  void pause(Milliseconds duration) override { sleepFor(duration); }
  UpdateRun updateRun() { return {updateSettings, updateState, *this, stop}; }
  // Stores the stage a routine returned: the last thing a stage does on shared state.
  void advanceTo(std::optional<UpdateStage> next);
  void keepOutOfAnotherLaunchersFolder();
  bool holdsFolder() const { return folderLock.state() != platform::FolderLock::State::HeldByAnother; }
  SelfUpdateContext selfUpdateContext();

  SDL_Texture* splash;
  SDL_Rect splashRect;
  SDL_Texture* launchButton;
  SDL_Texture* launchButtonPressed;
  SDL_Texture* launchButtonDisabled;
  SDL_Rect buttonRect;
  bool buttonPressed;
  SDL_Rect logRect;

  // One rendered line; the text is kept so that the log can be read back.
  struct LogLine {
    std::string text;
    SurfacePtr surface;  // null when the line could not be rendered; drawing skips it
  };
  // Before the lines: opened before the first one is drawn, closed after the last one goes,
  // and before the text library ends with the SDLHandler part.
  const LogFont logFont;
  std::vector<LogLine> log;
  mutable std::mutex logMutex;
  // Two launchers in one folder would download into the same package and unpack into the
  // same install folder. The second one does nothing, its log file included: the file
  // belongs to the first.
  const platform::FolderLock folderLock{folderLockName};
  LogFile logFile{folderLock.state() == platform::FolderLock::State::HeldByAnother ? "" : logFileName};

  std::atomic<bool> readyToLaunch;
  std::atomic<UpdateStage> stage;
  // What the stage routines read and find; the Launcher only runs them and stores the
  // stage each returns.
  const UpdateSettings updateSettings;
  UpdateState updateState;

  // The stage the sequencer acted on last. Kept per Launcher rather than per process
  // so that tests can build several launchers in one process.
  UpdateStage lastStage = None;
  std::atomic<int> runningWorkers{0};
  StopToken stop;
};
