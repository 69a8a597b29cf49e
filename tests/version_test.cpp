#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionLine, YieldsVersionDateAndPackage) {
  struct Case {
    std::string line, version, buildDate;
  };
  const Case cases[] = {
      {"1.0 20190315", "1.0_20190315", "15 March, 2019"},
      {"r7b.20180704", "r7b.20180704", "04 July, 2018"},
      {"ab_c20191201", "ab_c20191201", "01 December, 2019"},
      // Month numbers outside 1 to 12, and month texts read like the standard conversion.
      {"1.0 20191315", "1.0_20191315", "15 <unknown month>, 2019"},
      {"1.0 20190015", "1.0_20190015", "15 <unknown month>, 2019"},
      {"1.0 2019-115", "1.0_2019-115", "15 <unknown month>, 2019"},
      {"1.0 20193x15", "1.0_20193x15", "15 March, 2019"},
      {"1.0 2019\t915", "1.0_2019\t915", "15 September, 2019"},
      // No number at all: the build stays usable with an unnamed month.
      {"1.0 2019ab15", "1.0_2019ab15", "15 <unknown month>, 2019"},
      {"1.0 2019 715", "1.0_2019_715", "15 <unknown month>, 2019"},
      // A blank in the day becomes an underscore in the date, but stays in the file name.
      {"1.0 2019031 ", "1.0_2019031_", "1_ March, 2019"},
  };
  for (const Case& c : cases) {
    const auto record = parseVersionLine(c.line);
    ASSERT_TRUE(record) << c.line;
    EXPECT_EQ(record->version, c.version);
    EXPECT_EQ(record->buildDate, c.buildDate);
    EXPECT_EQ(record->packageFile, "quarvel " + c.line + ".zip");
  }
}

}  // namespace
