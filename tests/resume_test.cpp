#include "support/TestSupport.h"
#include "package/Resume.h"
#include "version/VersionInfo.h"

#include <csignal>
#include <random>

// A package download through a server that drops, stalls, ignores ranges, replaces its file or forges a tail: what
// arrives is one whole file, hashed from its first byte, or no file at all; never a mix of two.
namespace {

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}
const std::string body = randomBytes(3 << 20, 1), other = randomBytes(3 << 20, 2);
const std::string url = "/" + testPackage, dropLine = "    The connection dropped; the download goes on where it stopped.";

std::string address(const TestServer& server) { return encodeSpaces("http://" + server.url() + testPackage); }

struct Fetched {
  Transfer transfer;
  std::string file;
  std::optional<signing::Digest> digest;  // as the download took it
};

// One download of the test package into its partial file as a start makes it; wait goes before each retry.
Fetched fetch(const TestServer& server, Report& report, TransferHooks hooks = {}, Milliseconds wait = Milliseconds(10)) {
  signing::FileHasher hasher;
  hooks.hasher = &hasher, hooks.progress = &report;
  const FilePtr part(platform::openForDownload(partialName(testPackage)));
  Transfer transfer = fetchContinuing(address(server).c_str(), part.get(), testPackage, hooks, report, wait);
  return {transfer, slurp(partialName(testPackage)), hasher.finish()};
}

struct DropRow {
  const char* name;
  Reply reply;
  Lines ranges;  // asked, one per request
  const std::string* arrives = &body;
  long stallSeconds = 30;
};
void PrintTo(const DropRow& row, std::ostream* out) { *out << row.name; }
class Drops : public testing::TestWithParam<DropRow> {};

TEST_P(Drops, LeaveOneWholeFileHashedFromItsFirstByte) {
  const DropRow& row = GetParam();
  WorkDir dir;
  TestServer server;
  server.on(url, row.reply);
  Recording report;
  const Fetched got = fetch(server, report, {.stallSeconds = row.stallSeconds});
  EXPECT_EQ(server.ranges(), row.ranges);
  EXPECT_TRUE(got.file == *row.arrives) << got.file.size();
  EXPECT_TRUE(got.digest == signing::digestOfFile(partialName(testPackage)));
  // Each drop is a line in the log file; the window says it once, then shows the progress again.
  EXPECT_EQ(report.details.size(), row.ranges.size() - 1) << got.transfer.summary;
  EXPECT_EQ(std::ranges::count(report.lines, dropLine), 1);
  EXPECT_TRUE(report.lines.back().starts_with("    Downloaded ")) << report.lines.back();
  EXPECT_EQ(dir.read(validatorName(testPackage)), *row.arrives == body ? "\"first\"" : "\"second\"");
}

Reply cut(int drops, std::size_t after) { return {.kind = Reply::Ranged, .body = body, .drops = drops, .dropAfter = after}; }
Reply with(Reply reply, const std::function<void(Reply&)>& change) { return change(reply), reply; }
const std::string mib = "bytes=1048576-";

INSTANTIATE_TEST_SUITE_P(
    Resume, Drops,
    testing::Values(DropRow{"cut_five_times", cut(5, 1 << 19), {"", "bytes=524288-", mib, "bytes=1572864-", "bytes=2097152-", "bytes=2621440-"}},
                    DropRow{"stalled_40_s", with(cut(1, 1 << 20), [](Reply& r) { r.stallMs = 40000; }), {"", mib}, &body, 1},
                    DropRow{"ranges_ignored", with(cut(1, 1 << 20), [](Reply& r) { r.ignoreRanges = true; }), {"", mib}},
                    DropRow{"file_replaced", with(cut(1, 1 << 20), [](Reply& r) { r.replacement = other; }), {"", mib}, &other}),
    rowName);

// Drops that bring no byte end the download after five tries again; the file is not whole and says so. A quit while
// the launcher waits to try again ends the download within a second, with no further request.
TEST(Resume, DropsWithoutAByteEndTheDownloadAfterFiveTriesAndAQuitEndsTheWait) {
  WorkDir dir;
  TestServer server;
  server.on(url, cut(100, 0));
  Recording report;
  const Fetched got = fetch(server, report);
  EXPECT_EQ(server.requests().size(), 6u);
  EXPECT_EQ(got.transfer.code, 18) << got.transfer.summary;  // libcurl's "transfer closed with bytes remaining"
  ASSERT_EQ(report.details.size(), 5u);
  EXPECT_NE(report.details.back().find("trying again in 160 ms"), std::string::npos) << report.details.back();

  StopToken stop;
  struct : Recording {
    void detail(const std::string&) override { dropped = true; }
    std::atomic<bool> dropped = false;
  } quitting;
  std::chrono::steady_clock::time_point asked;
  std::thread quit([&] {
    while (!quitting.dropped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    asked = std::chrono::steady_clock::now(), stop.request();
  });
  fetch(server, quitting, {.stop = &stop}, Milliseconds(30000));
  quit.join();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(server.requests().size(), 7u);
}

// A launcher killed half-way leaves the bytes and the validator; the next start asks only for the rest, and hashes
// what it kept from the first byte.
TEST(Resume, ALaunchKilledHalfWayIsContinuedByTheNextStart) {
  WorkDir dir;
  TestServer server;
  server.on(url, with(cut(0, 0), [](Reply& r) { r.chunkMs = 10; }));
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        struct : Recording {
          void replaceLine(const std::string&) override {
            if (fs::file_size(partialName(testPackage)) > (1 << 19)) std::raise(SIGKILL);
          }
        } killing;
        fetch(server, killing);
        std::_Exit(0);
      },
      testing::KilledBySignal(SIGKILL), "");
  const auto kept = fs::file_size(partialName(testPackage));
  Recording report;
  const Fetched got = fetch(server, report);
  EXPECT_EQ(server.ranges(), Lines({"", "bytes=" + std::to_string(kept) + "-"}));
  EXPECT_TRUE(got.file == body && got.digest == signing::digestOfFile(partialName(testPackage)));
  EXPECT_TRUE(completeDownload(testPackage) && dir.read(testPackage) == body && !dir.exists(validatorName(testPackage)));
}

// A player behind tinyproxy from the system's packages, named the way libcurl reads it (http_proxy): every request
// goes through it, as its own log shows, and the launcher's log file names it.
TEST(Proxy, EveryRequestGoesThroughThePlayersProxy) {
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine);
  server.serve(url, zipArchive({top, {"Top/a.txt", "a"}}));
  const std::string free = TestServer().url(), port = free.substr(10, free.size() - 11);  // free a moment ago
  std::ofstream(dir.path() / "proxy.conf") << "Port " << port << "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Connect\n"
                                           << "LogFile \"" << (dir.path() / "proxy.log").string() << "\"\nPidFile \""
                                           << (dir.path() / "proxy.pid").string() << "\"\n";
  ASSERT_EQ(runProgram("tinyproxy", {"-c", (dir.path() / "proxy.conf").string()}).status, 0);
  for (int i = 0; i < 500 && dir.read("proxy.pid").empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string address = "http://127.0.0.1:" + port;
  ::setenv("http_proxy", address.c_str(), 1);
  const bool ready = runLauncher(server.url()).second;
  ::unsetenv("http_proxy");
  ::kill(std::stoi(dir.read("proxy.pid")), SIGTERM);
  EXPECT_TRUE(ready);
  const std::string log = dir.read("proxy.log");
  for (const std::string& path : {std::string("/latest_version.txt"), url})
    EXPECT_NE(log.find("GET http://" + server.url() + encodeSpaces(path.substr(1))), std::string::npos) << log;
  EXPECT_NE(dir.read("quarvel-launcher.log").find("through proxy " + address + " (from http_proxy)"), std::string::npos);
}

}  // namespace
