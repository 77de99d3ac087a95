#include "version.h"

#include <iterator>
#include <string>

#include "gtest/gtest.h"

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CompareVersionsTest, OrdersVersionsByComponents) {
  struct Case {
    const char* a;
    const char* b;
    int expected;  // Sign of CompareVersions(a, b).
  } cases[] = {
      {"2.0", "2.0", 0},
      {"2.0", "2.0.1", -1},
      {"2.0.1", "2.0", 1},
      {"1.10", "1.9", 1},  // Numbers, not bytes: 10 > 9.
      {"1.9", "1.10", -1},
      {"", "1.0", -1},
      {"", "", 0},
      {"", ".", -1},
      {"1.0", "01.00", 0},  // Leading zeros do not count.
      {"2.0.0", "2.0", 1},  // More components, all shared equal.
      {"99999999999999999999999", "99999999999999999999998",
       1},                   // No overflow.
      {"1.2a", "1.2b", -1},  // Non-numeric components compare as bytes.
      {"1.2", "1.2a", -1},
      {"1.\x80", "1.z", 1},  // Bytes from 0x80 up sort above ASCII.
      {" 2.1", "2.0", -1},   // A blank is no digit: compared as bytes.
      {"10.0", "9.9", 1},
      {"3.0.10", "3.0.9", 1},
      {"2.0rc10", "2.0rc9", 1},  // Digit runs inside a component are numbers.
      {"2.0rc1", "2.0", 1},
      {"1.2-!", "1.2-1", -1},  // "!" sorts below the digits, "a" above.
      {"1.2-a", "1.2-1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Sign(CompareVersions(c.a, c.b)))
        << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(-c.expected, Sign(CompareVersions(c.b, c.a)))
        << '"' << c.b << "\" vs \"" << c.a << '"';
  }
}

TEST(CompareVersionsTest, IsTransitiveAcrossNumbersAndOtherText) {
  // Compared as plain bytes, "1a" < "9" and "10" < "1a", but 9 < 10.
  const char* sorted[] = {"!", "1", "1a", "9", "9a", "10", "10a", "a", "\xff"};
  for (size_t i = 0; i < std::size(sorted); ++i) {
    for (size_t j = 0; j < std::size(sorted); ++j) {
      EXPECT_EQ(Sign(static_cast<int>(i) - static_cast<int>(j)),
                Sign(CompareVersions(sorted[i], sorted[j])))
          << sorted[i] << " vs " << sorted[j];
    }
  }
}

TEST(CompareVersionsTest, AgreesWithByteOrderWhereDigitCountsMatch) {
  const char* versions[] = {"1.0",   "1.1",   "1.9", "2.0", "2.0.1",
                            "2.1.0", "10.00", "2.a", "2.b", ""};
  for (const char* a : versions) {
    for (const char* b : versions) {
      std::string sa(a), sb(b);
      bool same_shape = sa.size() == sb.size() &&
                        sa.find('.') == sb.find('.') &&
                        sa.rfind('.') == sb.rfind('.');
      if (!same_shape) continue;
      EXPECT_EQ(Sign(sa.compare(sb)), Sign(CompareVersions(sa, sb)))
          << a << " vs " << b;
    }
  }
}

}  // namespace
