#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fstream>

namespace {

using Lines = std::vector<std::string>;

class Extraction : public testing::Test {
 protected:
  Extraction() { LauncherProbe::latest(launcher) = *parseVersionLine(testLine); }

  bool extract(const std::vector<ZipEntry>& entries) {
    buildZip(dir.path() / testPackage, entries);
    return launcher.extractPackage();
  }
  Lines log() const { return launcher.logLines(); }
  unsigned mode(const fs::path& name) const {
    struct stat info {};
    ::stat((dir.path() / name).c_str(), &info);
    return info.st_mode & 07777;
  }

  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(Extraction, NestedFoldersEmptyEntryAndPermissions) {
  ASSERT_TRUE(extract({
      {"Build-1/", "", 040755},
      {"Build-1/details/", "", 040755},
      {"Build-1/details/Quarvel.exe", "#!/bin/sh\n", 0104755},  // setuid is never restored
      {"Build-1/details/lib/", "", 0},
      {"Build-1/details/lib/a.dll", std::string(2500000, 'a'), 0},
      {"Build-1/details/lib/read-only.dat", "ro", 0100444},
      {"Build-1/empty.txt", "", 0100640},
      {"Build-1/stored.bin", "stored data", 0100644, true},
  }));
  EXPECT_EQ(log(),
            (Lines{"Extracting package...", "    Extracting file 8 / 8 (100%): Build-1/stored.bin", "    Done."}));
  EXPECT_EQ(launcher.currentStage(), ReportReady);
  EXPECT_EQ(fs::file_size(dir.path() / "game/details/lib/a.dll"), 2500000u);
  EXPECT_EQ(dir.read("game/empty.txt"), "");
  EXPECT_EQ(dir.read("game/stored.bin"), "stored data");
  EXPECT_EQ(mode("game/details/Quarvel.exe"), 0755u);
  EXPECT_EQ(mode("game/details/lib/a.dll"), 0644u);  // no Unix attributes stored
  EXPECT_EQ(mode("game/details/lib/"), 0755u);
  EXPECT_EQ(mode("game/details/lib/read-only.dat"), 0644u);  // the owner can still replace it
  EXPECT_EQ(mode("game/empty.txt"), 0640u);
  EXPECT_TRUE(dir.exists(testPackage));  // the package is kept
}

TEST_F(Extraction, UpdateOverwritesAndKeepsOtherFiles) {
  dir.write("game/details/Quarvel.exe", "old program");
  dir.write("game/saves/slot1.sav", "player's save");
  ASSERT_TRUE(
      extract({{"Top/", "", 040755}, {"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "new", 0100755}}));
  EXPECT_EQ(dir.read("game/details/Quarvel.exe"), "new");
  EXPECT_EQ(dir.read("game/saves/slot1.sav"), "player's save");
}

TEST_F(Extraction, LayoutQuirksAreSkippedSilently) {
  // A file at the root maps onto "game" itself, and a file whose folder has no entry
  // cannot be created: both are read and dropped, and the extraction goes on.
  ASSERT_TRUE(extract({{"Top/", "", 040755},
                       {"readme.txt", "root file", 0100644},
                       {"Top/nodir/file.txt", "lost", 0100644},
                       {"Top/kept.txt", "kept", 0100644}}));
  EXPECT_EQ(log().back(), "    Done.");
  EXPECT_TRUE(fs::is_directory(dir.path() / "game"));
  EXPECT_FALSE(dir.exists("game/nodir"));
  EXPECT_EQ(dir.read("game/kept.txt"), "kept");
}

TEST_F(Extraction, EmptyArchiveCreatesNothing) {
  // libzip will not write an archive without entries; Python's zipfile will.
  const std::string command = "python3 -c \"import zipfile; zipfile.ZipFile('" + testPackage + "', 'w').close()\"";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(launcher.extractPackage());
  EXPECT_EQ(log(), (Lines{"Extracting package...", "    Extracting files", "    Done."}));
  EXPECT_FALSE(dir.exists("game"));
  EXPECT_EQ(launcher.currentStage(), ReportReady);
}

TEST_F(Extraction, ArchivesThatCannotBeOpened) {
  for (const std::string& contents : {std::string("<html><body>404 Not Found</body></html>"), std::string()}) {
    dir.write(testPackage, contents);
    EXPECT_FALSE(launcher.extractPackage());
    EXPECT_EQ(log().back(), "    Failed to open archive.");
  }
  fs::remove(dir.path() / testPackage);
  EXPECT_FALSE(launcher.extractPackage());
  EXPECT_EQ(log().back(), "    Failed to open archive.");
  EXPECT_EQ(launcher.currentStage(), CheckInstalledVersion);
}

TEST_F(Extraction, TruncatedArchiveDoesNotOpen) {
  buildZip(dir.path() / testPackage, {{"Top/", "", 040755}, {"Top/a.bin", std::string(100000, 'a'), 0100644}});
  fs::resize_file(dir.path() / testPackage, fs::file_size(dir.path() / testPackage) / 2);
  EXPECT_FALSE(launcher.extractPackage());
  EXPECT_EQ(log().back(), "    Failed to open archive.");
}

// Flips one byte in the middle of an entry's data; the archive still opens.
void damage(const fs::path& file, const std::string& marker) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), {});
  const auto at = bytes.find(marker);
  ASSERT_NE(at, std::string::npos);
  f.seekp(static_cast<std::streamoff>(at + marker.size() / 2));
  f.put(static_cast<char>(bytes[at + marker.size() / 2] ^ 0x20));
}

TEST_F(Extraction, DamagedEntryAbortsWithItsTarget) {
  // Stored data can be found and flipped directly: only the checksum tells.
  buildZip(dir.path() / testPackage, {{"Top/", "", 040755},
                                      {"Top/good.txt", "good", 0100644},
                                      {"Top/bad.txt", "PAYLOAD-PAYLOAD-PAYLOAD", 0100644, true}});
  damage(dir.path() / testPackage, "PAYLOAD-PAYLOAD-PAYLOAD");
  EXPECT_FALSE(launcher.extractPackage());
  const Lines lines = log();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"    Failed to read file game/bad.txt", "    Aborting extraction."}));
  EXPECT_EQ(launcher.currentStage(), CheckInstalledVersion);
  EXPECT_EQ(dir.read("game/good.txt"), "good");  // written before the abort: kept
}

// Rewrites the uncompressed size that the local and central headers give the only entry.
void declareSize(const fs::path& file, std::uint32_t size) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(f)), {});
  for (const auto& [signature, offset] : {std::pair{std::string("PK\3\4"), 22}, std::pair{std::string("PK\1\2"), 24}}) {
    f.seekp(static_cast<std::streamoff>(bytes.find(signature) + offset));
    for (int i = 0; i < 4; ++i) f.put(static_cast<char>((size >> (8 * i)) & 0xFF));
  }
}

TEST_F(Extraction, EntryLongerThanDeclaredIsDamagedNotFatal) {
  buildZip(dir.path() / testPackage, {{"Top/a.bin", std::string(100, 'a'), 0100644}});
  declareSize(dir.path() / testPackage, 10);
  EXPECT_FALSE(launcher.extractPackage());
  EXPECT_EQ(log().end()[-2], "    Failed to read file game/a.bin");
}

TEST_F(Extraction, SymlinkEntryBecomesAPlainFile) {
  ASSERT_TRUE(extract({{"Top/", "", 040755}, {"Top/libgame.so", "libgame.so.1", 0120777}}));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "game/libgame.so"));
  EXPECT_EQ(dir.read("game/libgame.so"), "libgame.so.1");
  EXPECT_EQ(mode("game/libgame.so"), 0644u);  // not the link's 0777
}

TEST_F(Extraction, UnsafeNamesNeverLeaveTheInstallDirectory) {
  const std::vector<std::string> names = {"Top/../escaped.txt", "Top/a/../../escaped.txt", "Top/a\\..\\..\\escaped.txt",
                                          "Top/..\\escaped.txt"};
  for (const std::string& name : names) {
    WorkDir work;
    Launcher l{"127.0.0.1:1/"};
    LauncherProbe::latest(l) = *parseVersionLine(testLine);
    buildZip(work.path() / testPackage, {{"Top/", "", 040755}, {"Top/a/", "", 040755}, {name, "evil", 0100644}});
    EXPECT_FALSE(l.extractPackage()) << name;
    const Lines lines = l.logLines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"    Unsafe path in package " + name, "    Aborting extraction."}));
    EXPECT_FALSE(work.exists("escaped.txt")) << name;
    EXPECT_FALSE(fs::exists(work.path().parent_path() / "escaped.txt")) << name;
    EXPECT_EQ(l.currentStage(), CheckInstalledVersion);
  }
}

TEST_F(Extraction, InstallDirectoryMayItselfBeALink) {
  fs::create_directories(dir.path() / "elsewhere");
  fs::create_directory_symlink(dir.path() / "elsewhere", dir.path() / "game");
  ASSERT_TRUE(extract({{"Top/", "", 040755}, {"Top/a.txt", "a", 0100644}}));
  EXPECT_EQ(dir.read("elsewhere/a.txt"), "a");
}

TEST_F(Extraction, SymlinkInInstallDirectoryIsNotFollowed) {
  fs::create_directories(dir.path() / "game");
  fs::create_directories(dir.path() / "outside");
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "game/details");
  EXPECT_FALSE(extract({{"Top/", "", 040755}, {"Top/details/", "", 040755}, {"Top/details/x.txt", "x", 0100644}}));
  EXPECT_EQ(log().end()[-2], "    Unsafe path in package Top/details/");
  EXPECT_TRUE(fs::is_empty(dir.path() / "outside"));
}

TEST_F(Extraction, DirectoryThatCannotBeCreated) {
  dir.write("game", "a plain file where the install directory belongs");
  EXPECT_FALSE(extract({{"Top/", "", 040755}, {"Top/details/", "", 040755}}));
  const Lines lines = log();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"    Failed to create directory game/details/", "    Aborting extraction."}));
  EXPECT_EQ(dir.read("game"), "a plain file where the install directory belongs");
}

TEST_F(Extraction, StopRequestEndsALongExtractionEarly) {
  std::vector<ZipEntry> entries{{"Top/", "", 040755}};
  for (int i = 0; i < 2000; ++i) entries.push_back({"Top/f" + std::to_string(i), "x", 0100644});
  buildZip(dir.path() / testPackage, entries);
  std::thread worker([this] { EXPECT_FALSE(launcher.extractPackage()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  launcher.requestStop();
  worker.join();
  EXPECT_NE(log().back(), "    Done.");
  EXPECT_EQ(launcher.currentStage(), CheckInstalledVersion);
}

}  // namespace
