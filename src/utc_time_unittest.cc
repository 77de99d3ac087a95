#include "utc_time.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(UtcTimeTest, CalendarTimesReadAndWriteBackTheSame) {
  struct Case {
    const char* text;
    int64_t seconds;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      // timegm's error value, and a time all the same.
      {"1969-12-31T23:59:59Z", -1},
      {"2000-02-29T12:34:56Z", 951827696},
      // Past the end of 32-bit time, on the i686 build too.
      {"2038-01-19T03:14:08Z", 2147483648},
      {"2100-03-01T00:00:00Z", 4107542400},
      {"0000-01-01T00:00:00Z", -62167219200},
      {"9999-12-31T23:59:59Z", 253402300799},
  };
  for (const Case& c : cases) {
    int64_t seconds = 7;
    EXPECT_TRUE(ParseUtcTime(c.text, &seconds)) << c.text;
    EXPECT_EQ(c.seconds, seconds) << c.text;
    std::string text;
    EXPECT_TRUE(FormatUtcTime(c.seconds, &text)) << c.text;
    EXPECT_EQ(c.text, text);
  }
  std::string text = "untouched";
  EXPECT_FALSE(FormatUtcTime(253402300800, &text));
  EXPECT_FALSE(FormatUtcTime(-62167219201, &text));
  EXPECT_EQ("untouched", text);
}

TEST(UtcTimeTest, AnythingButTheExactFormOfARealTimeIsRefused) {
  for (const char* text :
       {"", "2026-12-31T00:00:00", "2026-12-31t00:00:00z",
        "2026-12-31T00:00:00+00:00", " 2026-12-31T00:00:00Z",
        "2026-12-31T00:00:00Z\n", "2026-1-31T00:00:00Z", "+026-12-31T00:00:00Z",
        // Dates and times that do not exist.
        "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z",
        "2026-13-01T00:00:00Z", "2026-12-00T00:00:00Z", "2026-12-31T24:00:00Z",
        "2026-12-31T23:59:60Z"}) {
    int64_t seconds = 7;
    EXPECT_FALSE(ParseUtcTime(text, &seconds)) << text;
    EXPECT_EQ(7, seconds) << text;
  }
}

}  // namespace
