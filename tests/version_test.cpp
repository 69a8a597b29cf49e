#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct LineCase {
  std::string line;
  std::string version;
  std::string buildDate;
  std::string packageFile;
};

class VersionLine : public testing::TestWithParam<LineCase> {};

TEST_P(VersionLine, YieldsRecord) {
  const LineCase& c = GetParam();
  const auto record = parseVersionLine(c.line);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->version, c.version);
  EXPECT_EQ(record->buildDate, c.buildDate);
  EXPECT_EQ(record->packageFile, c.packageFile);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, VersionLine,
    testing::Values(LineCase{"1.0 20190315", "1.0_20190315", "15 March, 2019", "quarvel 1.0 20190315.zip"},
                    LineCase{"r7b.20180704", "r7b.20180704", "04 July, 2018", "quarvel r7b.20180704.zip"},
                    LineCase{"ab_c20191201", "ab_c20191201", "01 December, 2019", "quarvel ab_c20191201.zip"},
                    // Month numbers outside 1 to 12, and month texts read like the standard conversion.
                    LineCase{"1.0 20191315", "1.0_20191315", "15 <unknown month>, 2019", "quarvel 1.0 20191315.zip"},
                    LineCase{"1.0 20190015", "1.0_20190015", "15 <unknown month>, 2019", "quarvel 1.0 20190015.zip"},
                    LineCase{"1.0 2019-115", "1.0_2019-115", "15 <unknown month>, 2019", "quarvel 1.0 2019-115.zip"},
                    LineCase{"1.0 20193x15", "1.0_20193x15", "15 March, 2019", "quarvel 1.0 20193x15.zip"},
                    LineCase{"1.0 2019\t915", "1.0_2019\t915", "15 September, 2019", "quarvel 1.0 2019\t915.zip"},
                    // No number at all: the build stays usable with an unnamed month.
                    LineCase{"1.0 2019ab15", "1.0_2019ab15", "15 <unknown month>, 2019", "quarvel 1.0 2019ab15.zip"},
                    LineCase{"1.0 2019 715", "1.0_2019_715", "15 <unknown month>, 2019", "quarvel 1.0 2019 715.zip"},
                    // A blank in the day becomes an underscore in the date, but stays in the file name.
                    LineCase{"1.0 2019031 ", "1.0_2019031_", "1_ March, 2019", "quarvel 1.0 2019031 .zip"}),
    [](const testing::TestParamInfo<LineCase>& info) { return "line" + std::to_string(info.index); });

TEST(VersionLineLength, OnlyTwelveCharactersMakeARecord) {
  EXPECT_FALSE(parseVersionLine(""));
  EXPECT_FALSE(parseVersionLine("1.0 2019031"));
  EXPECT_FALSE(parseVersionLine("1.0 201903150"));
  EXPECT_FALSE(
      parseVersionLine("\xEF\xBB\xBF"
                       "1.0 20190315"));
}

TEST(SpaceEncoding, BlanksAndUnderscores) {
  EXPECT_EQ(encodeSpaces("127.0.0.1:8470/quarvel 1.0 20190315.zip"), "127.0.0.1:8470/quarvel%201.0%2020190315.zip");
  EXPECT_EQ(encodeSpaces("no-blanks_here%"), "no-blanks_here%");
  EXPECT_EQ(encodeSpaces(""), "");
  EXPECT_EQ(restoreSpaces("1.0_20190315"), "1.0 20190315");
  EXPECT_EQ(restoreSpaces(""), "");
}

class ReadVersionFile : public testing::Test {
 protected:
  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(ReadVersionFile, SameRecordWhateverTheLineEnd) {
  for (const char* text : {"1.0 20190315", "1.0 20190315\n", "1.0 20190315\r\n", "1.0 20190315\nnext\n"}) {
    dir.write("v.txt", text);
    const auto record = launcher.readVersionFile("v.txt");
    ASSERT_TRUE(record) << text;
    EXPECT_EQ(record->version, "1.0_20190315");
    EXPECT_EQ(record->packageFile, testPackage);
  }
  EXPECT_TRUE(launcher.logLines().empty());
}

TEST_F(ReadVersionFile, WrongLengthsAreReportedAsCorrupted) {
  for (const char* text : {"", "1.0 2019031", "1.0 201903150\n",
                           "\xEF\xBB\xBF"
                           "1.0 20190315"}) {
    dir.write("v.txt", text);
    EXPECT_FALSE(launcher.readVersionFile("v.txt")) << text;
  }
  const std::vector<std::string> expected(4, "    Could not read file v.txt. It may be corrupted");
  EXPECT_EQ(launcher.logLines(), expected);
}

TEST_F(ReadVersionFile, MissingFileGivesOnlyTheNotFoundLine) {
  EXPECT_FALSE(launcher.readVersionFile("absent.txt"));
  EXPECT_EQ(launcher.logLines(), std::vector<std::string>{"    Could not find file absent.txt"});
}

}  // namespace
