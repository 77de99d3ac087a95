#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "base/utf_string_conversions.h"
#include "gtest/gtest.h"
#include "ini/ini_document.h"
#include "ini/ini_test_util.h"
#include "test/test_util.h"

namespace {

using testing_util::FileExists;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

// The names in |path|, sorted, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Saves a document larger than the file size limit it sets. write fails with
// EFBIG instead of raising SIGXFSZ.
bool SaveOverSizeLimit(const std::string& path) {
  struct rlimit limit = {16, 16};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);
  IniDocument doc;
  doc.SetValue(L"main", L"LastUpdateTime", L"1700000000");
  return doc.Save(path);
}

class IniWriterTest : public testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string path_ = dir_.Child("state.ini");
};

TEST_F(IniWriterTest, WritesSortedSectionsAndKeys) {
  IniDocument doc;
  doc.SetValue(L"main", L"LastUpdateTime", L"42");
  doc.SetValue(L"Alpha", L"Version", L"2.0");
  doc.SetValue(L"Alpha", L"url", L"http://h/p.tar.gz");
  doc.FindOrCreateSection(L"empty");
  ASSERT_TRUE(doc.Save(path_));
  EXPECT_EQ(
      "[Alpha]\n"
      "url=http://h/p.tar.gz\n"
      "Version=2.0\n"
      "[empty]\n"
      "[main]\n"
      "LastUpdateTime=42\n",
      ReadFile(path_));
  EXPECT_EQ(std::vector<std::string>{"state.ini"}, ListDirectory(dir_.path()));
}

TEST_F(IniWriterTest, EmptyDocumentGivesEmptyFile) {
  WriteFile(path_, "[old]\nkey=value\n");
  IniDocument doc;
  ASSERT_TRUE(doc.Save(path_));
  EXPECT_TRUE(FileExists(path_));
  EXPECT_EQ("", ReadFile(path_));
}

TEST_F(IniWriterTest, ReplacesLongerFileAndKeepsItsMode) {
  WriteFile(path_, "[main]\nLastUpdateTime=1234567890\nother=stuff\n");
  ASSERT_EQ(0, chmod(path_.c_str(), 0640));
  IniDocument doc;
  doc.SetValue(L"main", L"LastUpdateTime", L"1");
  ASSERT_TRUE(doc.Save(path_));
  EXPECT_EQ("[main]\nLastUpdateTime=1\n", ReadFile(path_));
  struct stat info;
  ASSERT_EQ(0, stat(path_.c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 07777);
}

TEST_F(IniWriterTest, RoundTripsThroughLoad) {
  IniDocument doc;
  doc.SetValue(L"Main", L"LastUpdateTime", L"1700000000");
  doc.SetValue(L"Main", L"padded", L"  two words \t");
  doc.SetValue(L"Main", L"empty", L"");
  doc.SetValue(L"", L"k", L"in the nameless section");
  doc.SetValue(L"Gr\u00FC\u00DFe", L"\u20AC", L"\U0001F600 caf\u00E9 a=b");
  doc.FindOrCreateSection(L"no keys");
  ASSERT_TRUE(doc.Save(path_));
  EXPECT_EQ(
      "[]\n"
      "k=in the nameless section\n"
      "[Gr\xC3\xBC\xC3\x9F"
      "e]\n"
      "\xE2\x82\xAC=\xF0\x9F\x98\x80 caf\xC3\xA9 a=b\n"
      "[Main]\n"
      "empty=\n"
      "LastUpdateTime=1700000000\n"
      "padded=  two words \t\n"
      "[no keys]\n",
      ReadFile(path_));

  IniDocument loaded;
  loaded.SetValue(L"stale", L"key", L"value");
  ASSERT_TRUE(loaded.Load(path_, false));
  EXPECT_EQ(IniText(doc), IniText(loaded));
  EXPECT_EQ(L"  two words \t", loaded.GetValue(L"main", L"padded"));
}

TEST_F(IniWriterTest, MissingDirectoryFails) {
  IniDocument doc;
  doc.SetValue(L"main", L"LastUpdateTime", L"1");
  EXPECT_FALSE(doc.Save(dir_.Child("missing/state.ini")));
  EXPECT_TRUE(ListDirectory(dir_.path()).empty());
}

TEST_F(IniWriterTest, FailedWriteLeavesOldFileWhole) {
  const std::string old_text = "[main]\nLastUpdateTime=1\n";
  WriteFile(path_, old_text);
  // In a child, so that the size limit stays there.
  EXPECT_EXIT(exit(SaveOverSizeLimit(path_) ? 1 : 0),
              testing::ExitedWithCode(0), "");
  EXPECT_EQ(old_text, ReadFile(path_));
  EXPECT_EQ(std::vector<std::string>{"state.ini"}, ListDirectory(dir_.path()));
}

}  // namespace
