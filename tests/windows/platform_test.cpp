// The Windows platform layer against the real system calls, run under Wine: what the whole update
// of the end-to-end run does not show, its failures and an earlier install's files.
#include "app/LogFile.h"
#include "base/ReadFile.h"
#include "platform/FilePtr.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

namespace fs = std::filesystem;

namespace {

class WindowsPlatform : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir);
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path(dir.parent_path());
    fs::remove_all(dir);
  }
  const fs::path dir = fs::temp_directory_path() / testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(WindowsPlatform, FileSystemQueriesAndFailures) {
  std::ofstream("package.zip", std::ios::binary) << std::string(5'000'000, 'q');
  EXPECT_EQ(platform::fileSizeLow32("package.zip"), 5'000'000u);
  EXPECT_EQ(platform::fileSizeLow32("absent.zip"), std::nullopt);
  fs::create_directory("folder.zip");
  EXPECT_EQ(platform::fileSizeLow32("folder.zip"), std::nullopt);
  EXPECT_GT(platform::freeBytes(".").value_or(0), 0u);
  EXPECT_EQ(platform::makeDirectory("missing/child"), platform::MakeDirResult::Failed);
  std::ofstream("a.dll") << "a";
  EXPECT_EQ(platform::flushToDisk(".", {"a.dll", "gone.dll"}), "gone.dll");
}

TEST_F(WindowsPlatform, AnEarlierInstallsFilesAreReplaced) {
  std::ofstream("old.dll") << "old";
  fs::permissions("old.dll", fs::perms::owner_write, fs::perm_options::remove);
  platform::allowOwnerWrite("old.dll");
  EXPECT_NE(fs::status("old.dll").permissions() & fs::perms::owner_write, fs::perms::none);
  std::ofstream("latest_version.txt") << "1.0 20261205";
  EXPECT_TRUE(platform::replaceFileAtomically("latest_version.txt", "1.1 20261206"));
  std::string line;
  EXPECT_EQ(std::getline(std::ifstream("latest_version.txt"), line) ? line : "", "1.1 20261206");
}

// Each run's log file replaces the previous run's .1, which a plain rename cannot do here; a .1 that cannot be
// replaced (open in another program, which does not let it be deleted) leaves the previous run's file to be
// appended to rather than truncated.
TEST_F(WindowsPlatform, LogFilesReplaceTheEarlierRunsOrAppend) {
  for (const char* run : {"first", "second", "third"}) LogFile("run.log").line(run);
  EXPECT_EQ(readFileUpTo("run.log.1", 1 << 20).substr(25), "second\n");
  {
    const FilePtr held(std::fopen("run.log.1", "rb"));  // shares reading and writing, not deletion
    LogFile("run.log").line("fourth");
  }
  const std::string log = readFileUpTo("run.log", 1 << 20);
  ASSERT_GT(log.size(), 25u);
  EXPECT_EQ(log.substr(25, 6) + log.substr(std::min(log.size(), log.find('\n') + 26)), "third\nfourth\n");
}

// The folder lock keeps a second holder out until the first lets go; the package, while downloaded, cannot be
// written by anyone else, though it can be renamed (the partial download becomes the package) and cut.
TEST_F(WindowsPlatform, FolderLockAndPackageAreHeldExclusively) {
  {
    const platform::FolderLock first("folder.lock");
    EXPECT_EQ(first.state(), platform::FolderLock::State::Held);
    EXPECT_EQ(platform::FolderLock("folder.lock").state(), platform::FolderLock::State::HeldByAnother);
  }
  EXPECT_EQ(platform::FolderLock("folder.lock").state(), platform::FolderLock::State::Held);
  const FilePtr package(platform::openForDownload("package.zip"));
  ASSERT_TRUE(package);
  EXPECT_FALSE(std::ofstream("package.zip", std::ios::app).is_open());
  EXPECT_TRUE(std::ifstream("package.zip").is_open());
  ASSERT_GE(std::fputs("bytes", package.get()), 0);
  EXPECT_TRUE(platform::renameReplacing("package.zip", "renamed.zip"));
  EXPECT_TRUE(platform::truncateFile(package.get()));
  EXPECT_EQ(std::filesystem::file_size("renamed.zip"), 0u);
}

// A program that never started, one that ends with 127 itself, one whose DLL the loader cannot find (the
// system's status for it) and one that takes too long each end their own way.
TEST_F(WindowsPlatform, RunProgramTellsEachEnd) {
  using End = platform::ProgramOutcome::End;
  constexpr int dllNotFound = static_cast<int>(0xC0000135);
  // The programs lie in the Linux build folder, which Wine shows as drive Z:.
  const std::string exitWith = std::string("Z:") + QUARVEL_TEST_PROGRAM_EXE;
  const std::tuple<std::string, std::string, End, int> rows[] = {
      {"missing.exe", "", End::NotStarted, -1},
      {exitWith, "127", End::Ended, 127},
      {std::string("Z:") + QUARVEL_NEEDS_LIBRARY_EXE, "", End::Ended, dllNotFound},
      {exitWith, "sleep", End::TimedOut, -1},
  };
  for (const auto& [program, argument, end, status] : rows) {
    const platform::ProgramOutcome outcome =
        platform::runProgram((dir / program).string(), argument, dir.string(), std::chrono::milliseconds(2000));
    EXPECT_EQ(outcome.end, end) << program;
    EXPECT_EQ(outcome.status, status) << program;
  }
}

}  // namespace
