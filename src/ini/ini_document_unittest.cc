#include "ini/ini_document.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(IniTrimTest, RemovesCharactersOfTheSet) {
  struct Case {
    std::wstring input;
    std::wstring left, right, both;
  };
  const Case kCases[] = {
      {L"", L"", L"", L""},
      {L" \t ", L"", L"", L""},
      {L"  a b\t", L"a b\t", L"  a b", L"a b"},
      {L"\ta\r", L"a\r", L"\ta\r", L"a\r"},
      {L"ab", L"ab", L"ab", L"ab"},
  };
  for (const Case& c : kCases) {
    std::wstring left = c.input, right = c.input, both = c.input;
    TrimLeft(&left, L" \t");
    TrimRight(&right, L" \t");
    TrimBoth(&both, L" \t");
    EXPECT_EQ(c.left, left);
    EXPECT_EQ(c.right, right);
    EXPECT_EQ(c.both, both);
  }
}

TEST(IniNameLessTest, FoldsAsciiLettersOnly) {
  struct Case {
    std::wstring a, b;
    int order;  // -1: a < b, 0: equal, 1: b < a.
  };
  const Case kCases[] = {
      {L"Main", L"MAIN", 0},
      {L"main", L"Main", 0},
      {L"lastupdatetime", L"Main", -1},  // l < m once folded, though M < l.
      {L"url", L"Version", -1},
      {L"_x", L"a", -1},  // "_" sorts before every folded letter...
      {L"_x", L"A", -1},
      {L"Z", L"_", 1},  // ...and after "Z" only without folding.
      {L"", L"a", -1},
      {L"", L"", 0},
      {L"main", L"main2", -1},
      {L"main", L"main\r", -1},
      {std::wstring(L"a\0b", 3), L"a", 0},  // Names end at a NUL.
      {std::wstring(L"a\0b", 3), std::wstring(L"a\0c", 3), 0},
      {std::wstring(L"a\0", 2), L"ab", -1},
      {L"kEy_1X", L"KeY_1x", 0},
      {L"key_1a", L"KEY_1B", -1},
      {L"\u00C9", L"\u00E9", -1},  // No folding beyond ASCII.
      {L"a", std::wstring(1, static_cast<wchar_t>(0xFFFFFFFF)), -1},
  };
  IniNameLess less;
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " " +
                 testing::PrintToString(c.b));
    EXPECT_EQ(c.order < 0, less(c.a, c.b));
    EXPECT_EQ(c.order > 0, less(c.b, c.a));
  }
}

TEST(IniDocumentTest, GetValueCreatesNothing) {
  IniDocument doc;
  EXPECT_EQ(L"", doc.GetValue(L"main", L"LastUpdateTime"));
  EXPECT_TRUE(doc.sections().empty());
  doc.FindOrCreateSection(L"main");
  EXPECT_EQ(L"", doc.GetValue(L"main", L"LastUpdateTime"));
  EXPECT_TRUE(doc.FindSection(L"main")->keys().empty());
}

TEST(IniDocumentTest, NamesIgnoreCaseAndOuterBlanks) {
  IniDocument doc;
  doc.SetValue(L"main", L"LastUpdateTime", L"42");
  EXPECT_EQ(L"42", doc.GetValue(L"MAIN", L"lastupdatetime"));
  EXPECT_EQ(L"42", doc.GetValue(L" main\t", L"\tLastUpdateTime "));
  EXPECT_EQ(L"", doc.GetValue(L"main\r", L"LastUpdateTime"));
  EXPECT_EQ(nullptr, doc.FindSection(L"main\r"));
  EXPECT_EQ(nullptr, doc.FindSection(L"main")->FindKey(L"Last UpdateTime"));
}

TEST(IniDocumentTest, FirstNameIsKeptAndLastValueWins) {
  IniDocument doc;
  doc.SetValue(L"Main", L"LastUpdateTime", L"1");
  doc.SetValue(L" MAIN ", L"LASTUPDATETIME", L"2");
  ASSERT_EQ(1u, doc.sections().size());
  const IniSection& section = doc.sections().begin()->second;
  EXPECT_EQ(L"Main", section.name());
  EXPECT_EQ(&doc, section.owner());
  ASSERT_EQ(1u, section.keys().size());
  const IniKey& key = section.keys().begin()->second;
  EXPECT_EQ(L"LastUpdateTime", key.name());
  EXPECT_EQ(L"2", key.value());
  EXPECT_EQ(&section, key.owner());
  EXPECT_EQ(&section, doc.FindOrCreateSection(L"main"));
  EXPECT_EQ(&key,
            doc.FindSection(L"main")->FindOrCreateKey(L"\tlastUpdateTime"));
}

TEST(IniDocumentTest, ValuesAreStoredUnchanged) {
  IniDocument doc;
  doc.SetValue(L"main", L"padded", L" two words \t");
  doc.SetValue(L"main", L"empty", L"");
  EXPECT_EQ(L" two words \t", doc.GetValue(L"main", L"padded"));
  EXPECT_EQ(L"", doc.GetValue(L"main", L"empty"));
  EXPECT_NE(nullptr, doc.FindSection(L"main")->FindKey(L"empty"));
}

TEST(IniDocumentTest, EmptyNameIsAName) {
  IniDocument doc;
  doc.SetValue(L"", L"", L"x");
  EXPECT_EQ(L"x", doc.GetValue(L" ", L"\t"));
  EXPECT_EQ(1u, doc.sections().size());
}

TEST(IniDocumentTest, ClearRemovesEverything) {
  IniDocument doc;
  doc.SetValue(L"main", L"LastUpdateTime", L"42");
  doc.SetValue(L"other", L"key", L"value");
  doc.Clear();
  EXPECT_TRUE(doc.sections().empty());
  EXPECT_EQ(L"", doc.GetValue(L"main", L"LastUpdateTime"));
  EXPECT_EQ(L"", doc.GetValue(L"other", L"key"));
}

}  // namespace
