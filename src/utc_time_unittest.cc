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
      {"1969-12-31T23:59:59Z", -1},
      {"2000-02-29T12:34:56Z", 951827696},
      {"2026-12-31T00:00:00Z", 1798675200},
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
}

TEST(UtcTimeTest, AnythingButTheExactFormOfARealTimeIsRefused) {
  for (const std::string& text : {
           std::string(),
           std::string("2026-12-31"),
           std::string("2026-12-31T00:00:00"),
           std::string("2026-12-31T00:00:00z"),
           std::string("2026-12-31t00:00:00Z"),
           std::string("2026-12-31 00:00:00Z"),
           std::string("2026-12-31T00:00:00+00:00"),
           std::string("2026-12-31T00:00:00.0Z"),
           std::string(" 2026-12-31T00:00:00Z"),
           std::string("2026-12-31T00:00:00Z "),
           std::string("2026-12-31T00:00:00Z\n"),
           std::string("2026-1-31T00:00:00Z"),
           std::string("+026-12-31T00:00:00Z"),
           std::string("2026-12-31T0a:00:00Z"),
           std::string("2026-12-31T00:00:00Z\0", 21),
           std::string("12026-12-31T00:00:00Z"),
           // Dates and times that do not exist.
           std::string("2026-02-29T00:00:00Z"),
           std::string("2100-02-29T00:00:00Z"),
           std::string("2026-04-31T00:00:00Z"),
           std::string("2026-00-10T00:00:00Z"),
           std::string("2026-13-01T00:00:00Z"),
           std::string("2026-12-00T00:00:00Z"),
           std::string("2026-12-31T24:00:00Z"),
           std::string("2026-12-31T23:60:00Z"),
           std::string("2026-12-31T23:59:60Z"),
       }) {
    int64_t seconds = 7;
    EXPECT_FALSE(ParseUtcTime(text, &seconds)) << text;
    EXPECT_EQ(7, seconds) << text;
  }
}

TEST(UtcTimeTest, TimesOutsideFourDigitYearsAreNotWritten) {
  for (int64_t seconds : {int64_t{253402300800}, int64_t{-62167219201}}) {
    std::string text = "untouched";
    EXPECT_FALSE(FormatUtcTime(seconds, &text)) << seconds;
    EXPECT_EQ("untouched", text);
  }
}

}  // namespace
