#include "package/Package.h"
#include "support/TestSupport.h"

#include <grp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <csignal>
#include <cstring>

namespace {

// No entry for the top folder: its mode would make a read-only install folder writable again.
const std::string exe = "game/details/Quarvel.exe";
const std::vector<ZipEntry> program{{"Top/details/", "", 040755}, {"Top/details/Quarvel.exe", "new", 0100755}};

// With a build installed, no server fault may cost the player the installed build.
void installed(WorkDir& dir, std::string&) {
  dir.write("latest_version.txt", "0.9 20190101");
  dir.write(exe, "old build");
}
const std::vector<FileCheck> kept{{exe, "old build"}};
const Lines keepsInstalled{"    Could not read file temp.txt. It may be corrupted", contactFailed,
                           "Continuing to use installed version (0.9_20190101).",
                           "Quarvel version 0.9_20190101 is ready to play!"};
const Lines notFetched{"    The package name holds a folder separator; it is not downloaded.", "Extracting package...",
                       cannotOpen};

// Only the version file's first line counts, less its line end; a name holding a folder is not fetched.
const PackageRow serverRows[] = {
    PackageRow("version_redirect", {}, keepsInstalled, kept, installed, {Reply::Redirect}),
    PackageRow("version_crlf_and_1MB_after", {}, {"Already at latest version.", upToDate}, kept, installed,
               {Reply::Body, "0.9 20190101\r\n" + std::string(1 << 20, '1')}),
    PackageRow("version_names_a_folder", {}, notFetched, kept, installed, {Reply::Body, "../x20190315"}),
    PackageRow("version_names_a_windows_folder", {}, notFetched, kept, installed, {Reply::Body, "..\\x20190315"}),
    PackageRow("package_404", {}, {cannotOpen}, kept, installed, {Reply::Body, "1.1 20190315"},
               "| cannot open 'quarvel 1.1 20190315.zip' as an archive: Not a zip archive"),
};

INSTANTIATE_TEST_SUITE_P(ServerFaults, Packages, testing::ValuesIn(serverRows), rowName);

// Each text becomes one of the same length everywhere: names libzip would not write (a control character, twins).
SetUp replacing(std::vector<std::pair<std::string, std::string>> changes) {
  return [changes](WorkDir&, std::string& bytes) {
    for (const auto& [from, to] : changes)
      for (auto at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1))
        bytes.replace(at, from.size(), to);
  };
}

// Every local and central header declares this uncompressed size.
SetUp declaring(std::uint32_t size) {
  return [size](WorkDir&, std::string& bytes) {
    for (const auto& [signature, offset] : {std::pair{"PK\3\4", 22}, std::pair{"PK\1\2", 24}})
      for (auto at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 4))
        for (int i = 0; i < 4; ++i) bytes[at + offset + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  };
}

PackageRow damaged(const std::string& rowName, const ZipEntry& entry, SetUp damage) {
  return {rowName, {top, entry}, {"    Failed to read file " + targetPath(entry.name, "game"), aborting}, {}, damage};
}

const std::string text = slurp(fs::path(QUARVEL_ASSET_DIR) / "LTYPE.TTF.LICENSE");

const PackageRow archiveRows[] = {
    // One byte in the middle of the archive, inside its one big entry's data.
    damaged("damaged_deflated_entry", {"Top/level.txt", text}, [](WorkDir&, std::string& b) { b[b.size() / 2] ^= 0x20; }),
    damaged("entry_longer_than_declared", {"Top/a.bin", std::string(100, 'a')}, declaring(10)),
    damaged("entry_shorter_than_declared", {"Top/a.bin", std::string(100, 'a')}, declaring(1000)),
    // 200 headers that each claim just under 4 GiB (all ones means "see the 64-bit field").
    PackageRow("overlapping_bomb", numbered({}, 200, {"Top/f", std::string(1000, 'z')}),
               {"    Not enough free disk space (need 819200 MiB, *", aborting}, {{"game", std::nullopt}},
               declaring(0xfffffff0)),
    // A link's 0777 would make the plain file written in its place writable by everyone.
    PackageRow("symlink_entry", {top, {"Top/lib.so", "lib.so.1", 0120777}}, updated,
               {{"game/lib.so", "lib.so.1", 0644}}),
    // A name without the UTF-8 flag is code page 437, where \x01 reads as U+263A.
    PackageRow("odd_but_harmless_names",
               {top, {"/abs", "a"}, {"Top/./dot", "d"}, {"Top/ctlX", "c"}, {"Top/dup1", "1"}, {"Top/dup2", "2"}},
               updated, {{"game/abs", "a"}, {"game/dot", "d"}, {"game/ctl\u263A", "c"}, {"game/dup1", "2"}},
               replacing({{"ctlX", "ctl\x01"}, {"dup2", "dup1"}})),
    PackageRow("link_in_install_folder", {top, {"Top/details/", "", 040755}, {"Top/details/x.txt", "x"}},
               {"    Unsafe path in package Top/details/", aborting}, {{"outside/x.txt", std::nullopt}},
               linking("game/details", "outside")),
};

INSTANTIATE_TEST_SUITE_P(ArchiveFaults, Packages, testing::ValuesIn(archiveRows), rowName);

// The install folder may be a link, here to a file system of 1 MiB. The space a package
// needs leaves out folders that exist already and counts a name stored twice once.
TEST(DiskFaultsMounted, NotEnoughSpaceOnASmallFileSystem) {
  const fs::path small = fs::temp_directory_path() / ("quarvel-small-" + std::to_string(::getpid()));
  fs::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
    fs::remove(small);
    GTEST_SKIP() << "cannot mount a small file system here (" << std::strerror(errno) << ")";
  }
  const std::string big(600 << 10, 'b');
  installsAsExpected(PackageRow("small_file_system", {top, {"Top/big.bin", std::string((3 << 20) - 8192, 'b')}},
                                {"    Not enough free disk space (need 3 MiB, 1 MiB free).", aborting},
                                {{"game/big.bin", std::nullopt}}, linking("game", small)));
  installsAsExpected(PackageRow("fits_when_counted_once",
                                numbered({top, {"Top/big1", big}, {"Top/big2", big}}, 200, {"Top/d/", ""}), updated,
                                {{"game/big1", big}}, [&](WorkDir& dir, std::string& bytes) {
                                  linking("game", small)(dir, bytes);
                                  for (int i = 0; i < 200; ++i) fs::create_directory(small / ("d" + std::to_string(i)));
                                  replacing({{"big2", "big1"}})(dir, bytes);
                                }));
  ::umount(small.c_str());
  fs::remove(small);
}

const Lines cannotCreate{"    Failed to create directory game/details/", aborting};

// A write past 1 MiB fails, as on a full disk the free-space check could not foresee.
void limitingFileSizes(WorkDir&, std::string&) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit oneMebibyte{1 << 20, RLIM_INFINITY};
  ::setrlimit(RLIMIT_FSIZE, &oneMebibyte);
}

const PackageRow diskRows[] = {
    PackageRow("read_only_install_folder", program, cannotCreate, {}, placing("game", std::nullopt, true)),
    PackageRow("read_only_file_of_an_earlier_build", program, updated, {{exe, "new"}}, placing(exe, "old", true)),
    PackageRow("read_only_working_folder", program,
               {"Failed to download file (could not write temp.txt).", "    Could not find file temp.txt", contactFailed},
               {}, placing(".", std::nullopt, true)),
    PackageRow("package_path_is_a_folder", program,
               {"Failed to download file (could not write quarvel 1.0 20190315.zip).", "    No package was downloaded.",
                "Extracting package...", cannotOpen},
               {}, placing(testPackage)),
    PackageRow("write_fails_mid_file", {top, {"Top/big.bin", std::string(3 << 20, 'b')}},
               {"    Failed to write file game/big.bin", aborting}, {}, limitingFileSizes, {Reply::Body, testLine},
               "| Failed to write file game/big.bin: File too large"),
    // A folder where the version file goes is no installation, and the game is playable all the same.
    PackageRow("version_file_is_a_folder", program,
               firstRun + Lines{"    Extracting file 2 / 2 (100%): Top/details/Quarvel.exe", "    Done.", upToDate},
               {{exe, "new"}}, placing("latest_version.txt")),
};

class DiskFaults : public testing::TestWithParam<PackageRow> {};

// As a player, since root writes through any mode, in a child that keeps the limits set there; the
// player cannot read the assets where the sources lie, so the child finds the test process's copy.
TEST_P(DiskFaults, AsAPlayer) {
  const bool child = !GTEST_FLAG_GET(internal_run_death_test).empty();
  const fs::path assets =
      fs::temp_directory_path() / ("quarvel-assets-" + std::to_string(child ? ::getppid() : ::getpid()));
  if (!child) fs::copy(QUARVEL_ASSET_DIR, assets, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  fs::permissions(assets, fs::perms(0755));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const gid_t nobody = 65534;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
          std::_Exit(3);
        installsAsExpected(GetParam(), assets);
        // The child prints no result: its failures go to the exit code and the message.
        const testing::TestResult& result = *testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result.total_part_count(); ++i) std::cerr << result.GetTestPartResult(i).message() << "\n";
        std::_Exit(result.Failed());
      },
      testing::ExitedWithCode(0), "");
  fs::remove_all(assets);
}

INSTANTIATE_TEST_SUITE_P(Matrix, DiskFaults, testing::ValuesIn(diskRows), rowName);

}  // namespace
