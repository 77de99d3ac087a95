#include <sstream>
#include <streambuf>
#include <string>

#include "base/utf_string_conversions.h"
#include "gtest/gtest.h"
#include "ini/ini_document.h"
#include "ini/ini_test_util.h"
#include "test/test_util.h"

namespace {

using testing_util::ScopedTempDir;
using testing_util::WriteFile;

class IniReaderTest : public testing::Test {
 protected:
  // Loads |bytes| from a file and returns the document's text. Reading the
  // decoded text from a wide stream must give the same document.
  std::string Parse(const std::string& bytes) {
    WriteFile(path_, bytes);
    IniDocument loaded;
    EXPECT_TRUE(loaded.Load(path_, false));
    std::wistringstream in(base::Utf8ToWide(bytes));
    IniDocument read;
    read.Read(in, false);
    EXPECT_EQ(IniText(loaded), IniText(read));
    return IniText(loaded);
  }

  // A document with two sections, for the merge and failure cases.
  void Fill(IniDocument* doc) {
    doc->SetValue(L"main", L"LastUpdateTime", L"1");
    doc->SetValue(L"main", L"keep", L"k");
    doc->SetValue(L"other", L"x", L"y");
  }

  ScopedTempDir dir_;
  std::string path_ = dir_.Child("test.ini");
};

TEST_F(IniReaderTest, WorkedExample) {
  EXPECT_EQ(
      "[Main]\n"
      "LastUpdateTime=7\n"
      "name= two words  \n"
      "[ubuntu_debian_i686]\n"
      "version=2.0\n",
      Parse("LastUpdateTime=5\n"
            "[Main]\n"
            "LastUpdateTime=42\n"
            "  name = two words  \n"
            "\n"
            " \t \n"
            "=orphan\n"
            "[ubuntu_debian_i686]   \n"
            "version=2.0\r\n"
            "\t[main]\n"
            "lastupdatetime=7\n"));
}

TEST_F(IniReaderTest, Grammar) {
  struct Case {
    const char* what;
    std::string input;
    std::string text;
  };
  const Case kCases[] = {
      {"empty file", "", ""},
      {"no header", "a=b\nc=d\n", ""},
      {"header only, no line feed", "[main]", "[main]\n"},
      {"last line without line feed", "[main]\nkey=value",
       "[main]\nkey=value\n"},
      {"CRLF", "[main]\r\nLastUpdateTime=42\r\nurl=http://h/p\r\n",
       "[main]\nLastUpdateTime=42\nurl=http://h/p\n"},
      {"CR alone ends no line", "[main]\rkey=1\rother=2\r", ""},
      {"CR alone inside a section", "[a]\n[b]\rk=1\r", "[a]\n[b]\rk=1\n"},
      {"blanks after header", "[main]\t\t\nk=v", "[main]\nk=v\n"},
      {"blanks around and inside header", " [ main ] \r \nk=v",
       "[main]\nk=v\n"},
      {"empty section name", "[]\nk=v", "[]\nk=v\n"},
      {"header with a remark is a key line", "[main]\n[x] y=1\n[z=2",
       "[main]\n[x] y=1\n[z=2\n"},
      {"further = belong to the value", "[main]\na=b=c", "[main]\na=b=c\n"},
      {"blanks around =", "[main]\nkey = value", "[main]\nkey= value\n"},
      {"trailing blanks stay, line ends go", "[main]\nk=v \t\r\r\n",
       "[main]\nk=v \t\n"},
      {"blank key and empty value", "[main]\n \t=x\nkey=", "[main]\nkey=\n"},
      {"keys before the first header", "k=1\n[main]\nk=2", "[main]\nk=2\n"},
      {"repeats in other case",
       "[Main]\nKey=1\n[other]\nx=y\n[MAIN]\nKEY=2\nz=3",
       "[Main]\nKey=2\nz=3\n[other]\nx=y\n"},
      {"comments and lines without =",
       "[main]\n# a=b\n  ; c=d\njust text\nk=v\n", "[main]\nk=v\n"},
      {"UTF-8", "[Ma\xC3\xAFn]\nname=\xE2\x82\xAC \xF0\x9F\x98\x80\n",
       "[Ma\xC3\xAFn]\nname=\xE2\x82\xAC \xF0\x9F\x98\x80\n"},
      {"malformed UTF-8", "[main]\nk=a\xFF\xE2\x82\n",
       "[main]\nk=a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.text, Parse(c.input));
  }
}

TEST_F(IniReaderTest, MergeKeepsOtherContents) {
  IniDocument doc;
  Fill(&doc);
  WriteFile(path_, "[MAIN]\nlastupdatetime=2\n[new]\nn=1\n");
  EXPECT_TRUE(doc.Load(path_, true));
  EXPECT_EQ("[main]\nkeep=k\nLastUpdateTime=2\n[new]\nn=1\n[other]\nx=y\n",
            IniText(doc));
}

TEST_F(IniReaderTest, LoadWithoutMergeReplacesContents) {
  IniDocument doc;
  Fill(&doc);
  WriteFile(path_, "[main]\nLastUpdateTime=2\n");
  EXPECT_TRUE(doc.Load(path_, false));
  EXPECT_EQ("[main]\nLastUpdateTime=2\n", IniText(doc));
}

TEST_F(IniReaderTest, UnreadableFileLeavesDocumentAlone) {
  IniDocument doc;
  Fill(&doc);
  const std::string before = IniText(doc);
  EXPECT_FALSE(doc.Load(dir_.Child("missing.ini"), false));
  EXPECT_EQ(before, IniText(doc));
  // A directory opens but cannot be read.
  EXPECT_FALSE(doc.Load(dir_.path(), false));
  EXPECT_EQ(before, IniText(doc));
}

// Hands out its text, then fails as a broken device would.
class FailingBuffer : public std::wstreambuf {
 public:
  explicit FailingBuffer(const std::wstring& text) : text_(text) {
    setg(&text_[0], &text_[0], &text_[0] + text_.size());
  }

 protected:
  int_type underflow() override { throw std::ios_base::failure("broken"); }

 private:
  std::wstring text_;
};

TEST_F(IniReaderTest, StreamFailureDropsTheLineBeingRead) {
  FailingBuffer buffer(L"[main]\nk=1\nj=2");
  std::wistream in(&buffer);
  IniDocument doc;
  Fill(&doc);
  doc.Read(in, false);
  EXPECT_EQ("[main]\nk=1\n", IniText(doc));
}

}  // namespace
