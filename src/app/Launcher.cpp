#include "app/Launcher.h"

#include "base/Check.h"
#include "base/LauncherAssets.h"
#include "package/Download.h"
#include "platform/Platform.h"
#include "version/InstallRecords.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <thread>
#include <utility>

namespace {

constexpr SDL_Rect centredRect(int y, int w, int h) { return SDL_Rect{320 - w / 2, y, w, h}; }

// The log box keeps a 20 pixel gap to the splash above and the button below.
SDL_Rect logRectBetween(const SDL_Rect& splash, const SDL_Rect& button) {
  const int y = splash.y + splash.h + 20;
  return SDL_Rect{20, y, 600, button.y - y - 20};
}

}  // namespace

void sleepFor(Milliseconds duration) {
  if (duration <= Milliseconds::zero()) return;
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

Launcher::Launcher() : Launcher(builtInSettings()) {}

Launcher::Launcher(std::string serverUrl) : Launcher(LauncherSettings{std::move(serverUrl), ""}) {}

Launcher::Launcher(const LauncherSettings& settings)
    : SDLHandler(),
      splash(nullptr),
      splashRect(centredRect(20, 184, 136)),
      launchButton(nullptr),
      launchButtonPressed(nullptr),
      launchButtonDisabled(nullptr),
      buttonRect(centredRect(380, 200, 80)),
      buttonPressed(false),
      logRect(logRectBetween(splashRect, buttonRect)),
      readyToLaunch(false),
      stage(CheckInstalledVersion),
      updateSettings{settings.serverUrl, signing::parsePublicKeys(settings.publicKeys), !settings.publicKeys.empty(),
                     installDirName, localVersionFileName, Milliseconds(250)} {
  logStartDetails();
  keepOutOfAnotherLaunchersFolder();
  if (holdsFolder()) resumeLauncherUpdate(selfUpdateContext());
  splash = loadTexture(splashImage);
  launchButton = loadTexture(launchImage);
  launchButtonPressed = loadTexture(launchPressedImage);
  launchButtonDisabled = loadTexture(launchDisabledImage);
}

SelfUpdateContext Launcher::selfUpdateContext() {
  std::error_code error;
  return {std::filesystem::current_path(error).string(), platform::ownProgramPath(), launcherVersion(), *this,
          launcherSwapStopStep(), updateSettings.signaturesRequired};
}

void Launcher::firstFrameShown() {
  if (!holdsFolder()) return;
  confirmLauncherStarted(selfUpdateContext());
}

void Launcher::logStartDetails() {
  logDetail(std::string("Quarvel Launcher ") + launcherVersion() + " on " + platform::systemDescription());
  logDetail(displayDetails());
  logDetail("update server: " + updateSettings.serverUrl);
  std::string keys;
  for (const signing::PublicKey& key : updateSettings.publisherKeys) keys += (keys.empty() ? "" : ", ") + signing::keyIdText(key.id);
  logDetail("publisher keys: " + (updateSettings.signaturesRequired ? (keys.empty() ? "none readable, so every build is refused" : keys)
                                                      : std::string("none, so builds are not checked")));
}

void Launcher::keepOutOfAnotherLaunchersFolder() {
  using State = platform::FolderLock::State;
  if (folderLock.state() == State::Unavailable)
    logDetail(std::string("cannot lock ") + folderLockName + ", so a second launcher here would not be kept out");
  if (folderLock.state() != State::HeldByAnother) return;
  std::cerr << anotherLauncherLine << std::endl;
  addLogLine(anotherLauncherLine);
  stage.store(None);  // no stage ever starts
}

Launcher::~Launcher() {
  // No worker may outlive the object it works on; main has normally waited already.
  shutDown();
  std::lock_guard lock(logMutex);
  for (LogLine& line : log) line.surface.reset();
}

void Launcher::update() {
  const UpdateStage s = stage.load(std::memory_order_acquire);
  if (s == lastStage) return;
  if (s >= CheckInstalledVersion && s <= ReportReady) startStage(s);
  lastStage = s;
}

void Launcher::startStage(UpdateStage s) {
  runningWorkers.fetch_add(1);
  try {
    std::thread([this, s] {
      runStage(s);
      // Last touch of the Launcher: once the count drops, shutdown may destroy it.
      runningWorkers.fetch_sub(1, std::memory_order_release);
    }).detach();
  } catch (const std::exception&) {  // no thread (system_error), or no memory for one (bad_alloc)
    runningWorkers.fetch_sub(1);
    addLogLine("Error: Could not start the update (the system is out of resources).");
  }
}

void Launcher::checkInstalledVersion() {
  UpdateRun run = updateRun();
  advanceTo(update::checkInstalledVersion(run));
}

void Launcher::checkLatestVersion() {
  UpdateRun run = updateRun();
  advanceTo(update::checkLatestVersion(run));
}

void Launcher::downloadPackage() {
  UpdateRun run = updateRun();
  advanceTo(update::downloadPackage(run));
}

bool Launcher::extractPackage() {
  UpdateRun run = updateRun();
  const std::optional<UpdateStage> next = update::extractPackage(run);
  advanceTo(next);
  return next == ReportReady;
}

void Launcher::reportReady() {
  readyToLaunch = true;
  UpdateRun run = updateRun();
  // The launcher a build carries is taken only from a build recorded as whole.
  if (update::reportReady(run)) updateLauncherFrom(updateSettings.installDir, selfUpdateContext());
}

std::unique_ptr<VersionInfo> Launcher::readVersionFile(const char* path) { return records::readVersionFile(*this, path); }

void Launcher::downloadFile(const char* url, const char* path) {
  UpdateRun run = updateRun();
  update::downloadFile(run, url, path, nullptr, {});
}

void Launcher::advanceTo(std::optional<UpdateStage> next) {
  if (next) stage.store(*next, std::memory_order_release);
}

void Launcher::runStage(UpdateStage s) {
  // A failure that escapes a routine ends the pipeline like any other failed stage:
  // a line in the log, the stage left where it was.
  try {
    switch (s) {
      case CheckInstalledVersion: checkInstalledVersion(); break;
      case CheckLatestVersion: checkLatestVersion(); break;
      case DownloadPackage: downloadPackage(); break;
      case ExtractPackage: extractPackage(); break;
      case ReportReady: reportReady(); break;
      case None: break;
    }
  } catch (const std::exception& e) {
    addLogLine(std::string("Error: ") + e.what());
  }
}

void Launcher::requestStop() {
  stop.request();
}

void Launcher::shutDown() {
  // A worker can be held past the grace: in a transfer from a server that stopped sending
  // (libcurl asks for the flag about once a second while no data comes), or in a flush of
  // the installed files to a slow disk. What ending the process then leaves behind is
  // harmless on the next start: a partial package is downloaded again; an update whose
  // flush was cut short was never recorded, so it is offered again; a left-over
  // "latest_version.txt.new" is removed before the version file is written again; a record
  // of an update under way makes the next start install that build again in full; and
  // "temp.txt", which Windows cannot remove while the transfer holds it open, is
  // overwritten by the next version check and removed after it.
  constexpr Milliseconds grace{400}, logGrace{300};
  requestStop();
  if (waitForWorkers(grace)) return;
  std::remove(latestVersionDownload);
  logDetail("quit while the update was still at work; the process ends without waiting for it");
  logFile.drain(logGrace);
  std::_Exit(0);
}

bool Launcher::waitForWorkers(Milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (runningWorkers.load(std::memory_order_acquire) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
