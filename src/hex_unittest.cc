#include "hex.h"

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

static_assert(IsHexOfSize("00fF", 2), "checked at compile time");
static_assert(!IsHexOfSize("00f", 2), "checked at compile time");

TEST(HexTest, DecodesExactlyTwoDigitsPerByte) {
  struct Case {
    std::string text;
    size_t size;
    bool ok;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"", 0, true, {}},
      {"00ff7f80", 4, true, {0x00, 0xff, 0x7f, 0x80}},
      {"AbCdEf09", 4, true, {0xab, 0xcd, 0xef, 0x09}},
      {"00ff7f8", 4, false, {}},   // Odd count.
      {"00ff7f80", 3, false, {}},  // Too long.
      {"00ff7f", 4, false, {}},    // Too short.
      {"0g", 1, false, {}},        // Not a digit.
      {" 0f", 1, false, {}},       // Blank before.
      {"0f\n", 1, false, {}},      // Line end after.
      {std::string("0\0", 2), 1, false, {}},
      {"0x", 1, false, {}},
      {"-1", 1, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes(c.size, 0xaa);
    EXPECT_EQ(c.ok, DecodeHex(c.text, bytes.data(), c.size)) << c.text;
    EXPECT_EQ(c.ok ? c.bytes : std::vector<uint8_t>(c.size, 0xaa), bytes)
        << c.text;
  }
}

TEST(HexTest, LineFormTakesOneLineEndAtMost) {
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {"0aFF", true},      {"0aFF\n", true},  {"0aFF\r\n", true},
      {"0aFF\n\n", false}, {"0aFF\r", false}, {"0aFF \n", false},
      {"\n0aFF", false},   {"0aF\n", false},  {"0aFF\n\r\n", false},
  };
  for (const Case& c : cases) {
    uint8_t bytes[2] = {0x11, 0x11};
    EXPECT_EQ(c.ok, DecodeHexLine(c.text, bytes, 2)) << c.text;
    EXPECT_EQ(c.ok ? 0x0a : 0x11, bytes[0]) << c.text;
    EXPECT_EQ(c.ok ? 0xff : 0x11, bytes[1]) << c.text;
  }
}

TEST(HexTest, EncodesLowerCaseAndRoundTrips) {
  uint8_t all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string text = EncodeHex(all, sizeof(all));
  EXPECT_EQ("000102", text.substr(0, 6));
  EXPECT_EQ("9fa0", text.substr(2 * 0x9f, 4));
  EXPECT_EQ("feff", text.substr(text.size() - 4));
  uint8_t back[256];
  ASSERT_TRUE(DecodeHex(text, back, sizeof(back)));
  EXPECT_EQ(0, memcmp(all, back, sizeof(all)));
  EXPECT_EQ("", EncodeHex(all, 0));
}

}  // namespace
