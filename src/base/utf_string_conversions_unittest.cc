#include "base/utf_string_conversions.h"

#include <string>

#include "gtest/gtest.h"

namespace base {
namespace {

struct Conversion {
  std::wstring wide;
  std::string utf8;
  bool valid;
};

// Builds a wide string from code points, which may be invalid ones.
std::wstring Wide(std::initializer_list<uint32_t> code_points) {
  std::wstring wide;
  for (uint32_t code_point : code_points) {
    wide.push_back(static_cast<wchar_t>(code_point));
  }
  return wide;
}

const Conversion kConversions[] = {
    {L"", "", true},
    {L"abc", "abc", true},
    {Wide({0x00E9}), "\xC3\xA9", true},
    {Wide({0x07FF}), "\xDF\xBF", true},
    {Wide({0x0800}), "\xE0\xA0\x80", true},
    {Wide({0x20AC}), "\xE2\x82\xAC", true},
    {Wide({0xD7FF}), "\xED\x9F\xBF", true},
    {Wide({0xE000}), "\xEE\x80\x80", true},
    {Wide({0xFFFE}), "\xEF\xBF\xBE", true},
    {Wide({0xFFFF}), "\xEF\xBF\xBF", true},
    {Wide({0x10000}), "\xF0\x90\x80\x80", true},
    {Wide({0x1F600}), "\xF0\x9F\x98\x80", true},
    {Wide({0x10FFFF}), "\xF4\x8F\xBF\xBF", true},
    {Wide({'a', 0, 'b'}), std::string("a\0b", 3), true},
    {Wide({0xD800}), "\xEF\xBF\xBD", false},
    {Wide({0xDFFF}), "\xEF\xBF\xBD", false},
    {Wide({0x110000}), "\xEF\xBF\xBD", false},
    {Wide({0xFFFFFFFF}), "\xEF\xBF\xBD", false},
    {Wide({0x80000000}), "\xEF\xBF\xBD", false},
    {Wide({'x', 0xD800, 0x20AC}), "x\xEF\xBF\xBD\xE2\x82\xAC", false},
    {Wide({0xDC00, 0xD800, 'y'}), "\xEF\xBF\xBD\xEF\xBF\xBDy", false},
    // A surrogate pair is two invalid characters, never combined.
    {Wide({0xD83D, 0xDE00}), "\xEF\xBF\xBD\xEF\xBF\xBD", false},
};

TEST(WideToUtf8Test, ConvertsEveryCharacterInPlace) {
  for (const Conversion& c : kConversions) {
    SCOPED_TRACE(testing::PrintToString(c.utf8));
    EXPECT_EQ(c.utf8, WideToUtf8(c.wide));
    std::string output = "old contents";
    EXPECT_EQ(c.valid, WideToUtf8(c.wide.data(),
                                  static_cast<int>(c.wide.size()), &output));
    EXPECT_EQ(c.utf8, output);
  }
}

TEST(WideToUtf8Test, FirstCharacterDoesNotChangeTheBytes) {
  // The first character picks the reservation; the text after it must come
  // out the same whether it is ASCII, wide, or invalid.
  const std::wstring tail = Wide({'a', 0x20AC, 0x1F600, 0xD800, 'z'});
  const std::string tail_utf8 = "a\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDz";
  const std::pair<uint32_t, std::string> kFirsts[] = {
      {'q', "q"},
      {0x20AC, "\xE2\x82\xAC"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      {0xFFFFFFFF, "\xEF\xBF\xBD"},
  };
  for (const auto& first : kFirsts) {
    EXPECT_EQ(first.second + tail_utf8, WideToUtf8(Wide({first.first}) + tail));
  }
}

TEST(ReadCodePointTest, ReportsValidity) {
  const std::wstring text = Wide({0xD7FF, 0xD800, 0xE000, 0x10FFFF, 0x110000});
  const bool kValid[] = {true, false, true, true, false};
  for (int i = 0; i < 5; ++i) {
    uint32_t code_point = 0;
    EXPECT_EQ(kValid[i], ReadCodePoint(text.data(), 5, i, &code_point)) << i;
    EXPECT_EQ(static_cast<uint32_t>(text[i]), code_point);
  }
}

TEST(AppendUtf8Test, AppendsAndCountsBytes) {
  std::string output = "<";
  EXPECT_EQ(1, AppendUtf8(0x7F, &output));
  EXPECT_EQ(2, AppendUtf8(0x80, &output));
  EXPECT_EQ(3, AppendUtf8(0xFFFD, &output));
  EXPECT_EQ(4, AppendUtf8(0x10000, &output));
  EXPECT_EQ("<\x7F\xC2\x80\xEF\xBF\xBD\xF0\x90\x80\x80", output);
}

TEST(Utf8ToWideTest, DecodesWellFormedText) {
  for (const Conversion& c : kConversions) {
    if (!c.valid) continue;
    SCOPED_TRACE(testing::PrintToString(c.utf8));
    std::wstring output = L"old contents";
    EXPECT_TRUE(Utf8ToWide(c.utf8.data(), c.utf8.size(), &output));
    EXPECT_EQ(c.wide, output);
    EXPECT_EQ(c.wide, Utf8ToWide(c.utf8));
  }
}

TEST(Utf8ToWideTest, ReplacesEachMalformedByte) {
  const uint32_t R = 0xFFFD;
  const std::pair<std::string, std::wstring> kCases[] = {
      {"\x80", Wide({R})},  // Lone continuation byte.
      {"a\xFF"
       "b",
       Wide({'a', R, 'b'})},              // Never a UTF-8 byte.
      {"\xC0\xAF", Wide({R, R})},         // Overlong "/".
      {"\xC1\xBF", Wide({R, R})},         // Overlong.
      {"\xE0\x80\xAF", Wide({R, R, R})},  // Overlong three bytes.
      {"\xF0\x80\x80\xAF", Wide({R, R, R, R})},
      {"\xED\xA0\x80", Wide({R, R, R})},         // Surrogate U+D800.
      {"\xF4\x90\x80\x80", Wide({R, R, R, R})},  // Above U+10FFFF.
      {"\xF5\x80\x80\x80", Wide({R, R, R, R})},
      {"\xE2\x82"
       "a",
       Wide({R, R, 'a'})},                // Truncated, then ASCII.
      {"\xE2\x82", Wide({R, R})},         // Truncated at the end.
      {"\xC3\xC3\xA9", Wide({R, 0xE9})},  // Lead byte, then a sequence.
      {"\xE2\x82\xAC\xE2", Wide({0x20AC, R})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.first));
    std::wstring output;
    EXPECT_FALSE(Utf8ToWide(c.first.data(), c.first.size(), &output));
    EXPECT_EQ(c.second, output);
  }
}

}  // namespace
}  // namespace base
