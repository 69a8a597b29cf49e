// The Windows platform layer against the real system calls, run under Wine.
#include "platform/Platform.h"

#include <gtest/gtest.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class WindowsPlatform : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir);
    fs::current_path(dir);
  }
  // A child process that has just ended may still hold its folder for a moment under
  // Wine, so the removal is retried and then left to the temp folder's own cleaning.
  void TearDown() override {
    fs::current_path(dir.parent_path());
    std::error_code error;
    for (int attempt = 0; attempt < 20 && fs::remove_all(dir, error) == static_cast<std::uintmax_t>(-1); ++attempt)
      Sleep(50);
  }
  const fs::path dir = fs::temp_directory_path() /
                       ("quarvel-" + std::to_string(GetCurrentProcessId()) + "-" +
                        testing::UnitTest::GetInstance()->current_test_info()->name());
};

// The stand-in game is built beside this program.
fs::path fakeGame() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path() / "quarvel-fake-game.exe";
}

std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(WindowsPlatform, DirectoryCreationTreatsAnExistingNameAsDone) {
  using platform::MakeDirResult;
  EXPECT_EQ(platform::makeDirectory("game"), MakeDirResult::Created);
  EXPECT_TRUE(fs::is_directory("game"));
  EXPECT_EQ(platform::makeDirectory("game"), MakeDirResult::AlreadyExists);
  EXPECT_EQ(platform::makeDirectory("game/"), MakeDirResult::AlreadyExists);
  std::ofstream("plain.txt") << "x";
  EXPECT_EQ(platform::makeDirectory("plain.txt"), MakeDirResult::AlreadyExists);
  EXPECT_EQ(platform::makeDirectory("missing/child"), MakeDirResult::Failed);
}

TEST_F(WindowsPlatform, PackageSizeComesFromTheFileSystem) {
  std::ofstream(dir / "package.zip", std::ios::binary) << std::string(5'000'000, 'q');
  EXPECT_EQ(platform::fileSizeLow32("package.zip"), 5'000'000u);
  EXPECT_EQ(platform::fileSizeLow32("absent.zip"), std::nullopt);
  fs::create_directory("folder.zip");
  EXPECT_EQ(platform::fileSizeLow32("folder.zip"), std::nullopt);
}

TEST_F(WindowsPlatform, InstalledFilesAreFlushedThenTheVersionFileReplaced) {
  std::ofstream("a.dll") << "a";
  std::ofstream("b.dll") << "b";
  EXPECT_EQ(platform::flushToDisk(".", {"a.dll", "b.dll"}), std::nullopt);
  EXPECT_EQ(platform::flushToDisk(".", {"a.dll", "gone.dll"}), "gone.dll");
  std::ofstream("latest_version.txt") << "1.0 20261205";
  ASSERT_TRUE(platform::replaceFileAtomically("latest_version.txt", "1.1 20261206"));
  EXPECT_EQ(contentsOf("latest_version.txt"), "1.1 20261206");
  EXPECT_FALSE(fs::exists("latest_version.txt.new"));
}

TEST_F(WindowsPlatform, ReadOnlyFilesBecomeWritableForTheUpdate) {
  std::ofstream("old.dll") << "old";
  fs::permissions("old.dll", fs::perms::owner_write, fs::perm_options::remove);
  platform::allowOwnerWrite("old.dll");
  EXPECT_TRUE(std::ofstream("old.dll", std::ios::trunc) << "new");
}

TEST_F(WindowsPlatform, TheGameStartsInItsOwnFolderThroughTheCommandInterpreter) {
  const std::string command = platform::gameStartCommand("game");
  EXPECT_EQ(command, "cd game\\details && \"Quarvel.exe\"");
  fs::create_directories("game/details");
  fs::copy_file(fakeGame(), "game/details/Quarvel.exe");
  platform::runCommand(command);
  const std::string startedIn = contentsOf("game/details/started.txt");
  EXPECT_TRUE(startedIn.ends_with("game\\details")) << startedIn;
  EXPECT_FALSE(fs::exists("started.txt"));
}

TEST_F(WindowsPlatform, FreeSpaceIsReported) {
  const auto free = platform::freeBytes(".");
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
}

}  // namespace
