#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(Pipeline, FirstRunInstallsThenLaterRunsStartAtOnce) {
  WorkDir dir;
  TestServer server;
  server.serve("/latest_version.txt", testLine + "\n");
  server.serve("/" + testPackage, zipArchive({{"Top/", "", 040755},
                                              {"Top/details/", "", 040755},
                                              {"Top/details/Quarvel.exe", "#!/bin/sh\n", 0100755},
                                              {"Top/data/", "", 040755},
                                              {"Top/data/level1.txt", std::string(300000, 'x'), 0100644},
                                              {"Top/data/empty.txt", "", 0100644}}));
  dir.write("temp.txt", "left over from an earlier run");

  const Outcome first = runLauncher(server.url());
  EXPECT_EQ(first.log, (Lines{"Checking for installed version...", "    Could not find file latest_version.txt",
                              "    No existing installation found.", "Checking for latest version...",
                              "    Latest version is 1.0_20190315 (built 15 March, 2019).", "An update is required.",
                              "Downloading package \"quarvel 1.0 20190315.zip\"...", "    Downloaded 0 MiB.",
                              "Extracting package...", "    Extracting file 6 / 6 (100%): Top/data/empty.txt",
                              "    Done.", upToDate}));
  EXPECT_TRUE(first.ready);
  EXPECT_EQ(dir.read("latest_version.txt"), testLine);
  EXPECT_FALSE(dir.exists("temp.txt"));
  EXPECT_TRUE(dir.exists(testPackage));  // the package is kept
  EXPECT_EQ(server.requests(), (Lines{"/latest_version.txt", "/quarvel%201.0%2020190315.zip"}));

  // The same build again, here with underscores where the server has blanks: no package.
  dir.write("latest_version.txt", "1.0_20190315");
  const Outcome second = runLauncher(server.url());
  EXPECT_EQ(second.log,
            (Lines{"Checking for installed version...", "    Installed version is 1.0_20190315 (built 15 March, 2019).",
                   "Checking for latest version...", "    Latest version is 1.0_20190315 (built 15 March, 2019).",
                   "Already at latest version.", upToDate}));
  EXPECT_TRUE(second.ready);
  EXPECT_EQ(server.requests().size(), 3u);
}

}  // namespace
