#include "base/file_path.h"

#include <string>

#include "gtest/gtest.h"

namespace base {
namespace {

TEST(FsPathTest, HoldsBytesUnchanged) {
  EXPECT_EQ("a//./b/../", FsPath("a//./b/../").AsString());
  EXPECT_EQ(std::string("a\xff\x01", 3),
            FsPath(std::string("a\xff\x01", 3)).AsString());
  EXPECT_TRUE(FsPath("").IsEmpty());
  EXPECT_TRUE(FsPath().IsEmpty());
  EXPECT_FALSE(FsPath("/").IsEmpty());
  EXPECT_EQ('/', FsPath::kPathSeparator);
  EXPECT_STREQ(".", FsPath::kCurrentDirName);
}

TEST(FsPathTest, DropTrailingSeparators) {
  const struct {
    const char* path;
    const char* expected;
  } kCases[] = {
      {"", ""},         {"/", "/"},       {"//", "//"}, {"///", "/"},
      {"////", "/"},    {"a/", "a"},      {"a//", "a"}, {"/a/", "/a"},
      {"//a//", "//a"}, {"a//b", "a//b"}, {"./", "."},
  };
  for (const auto& c : kCases) {
    FsPath path(c.path);
    EXPECT_EQ(c.expected, path.DropTrailingSeparators().AsString())
        << "path \"" << c.path << "\"";
    EXPECT_EQ(c.path, path.AsString());  // The source stays unchanged.
  }
}

TEST(FsPathTest, Join) {
  const struct {
    const char* path;
    const char* component;
    const char* expected;
  } kCases[] = {
      {"/tmp", "x", "/tmp/x"},
      {"/tmp/", "x", "/tmp/x"},
      {"/tmp//", "x", "/tmp/x"},
      {"/", "x", "/x"},
      {"//", "x", "//x"},
      {"///", "x", "/x"},
      {"", "x", "x"},
      {".", "x", "x"},
      {"./", "x", "./x"},
      {"..", "x", "../x"},
      {"a", "/x", "a//x"},
      {"a", "x/", "a/x/"},
      {"a", "", "a"},
      {"a/", "", "a"},
      {"/", "", "/"},
      {".", "", ""},
  };
  for (const auto& c : kCases) {
    FsPath path(c.path);
    EXPECT_EQ(c.expected, path.Join(c.component).AsString())
        << "\"" << c.path << "\" + \"" << c.component << "\"";
    EXPECT_EQ(c.expected, path.Join(FsPath(c.component)).AsString())
        << "\"" << c.path << "\" + FsPath(\"" << c.component << "\")";
    EXPECT_EQ(c.path, path.AsString());
  }
}

TEST(FsPathTest, LastComponent) {
  const struct {
    const char* path;
    const char* expected;
  } kCases[] = {
      {"a/b", "b"}, {"a/b/", "b"}, {"/a", "a"}, {"a//b", "b"}, {"/", "/"},
      {"//", "//"}, {"///", "/"},  {"", ""},    {"../", ".."}, {"abc", "abc"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.expected, FsPath(c.path).LastComponent().AsString())
        << "path \"" << c.path << "\"";
  }
}

TEST(FsPathTest, DirName) {
  const struct {
    const char* path;
    const char* expected;
  } kCases[] = {
      {"/a/b", "/a"}, {"/a/b/", "/a"}, {"/a", "/"},  {"/", "/"},    {"a", "."},
      {"", "."},      {"a//b", "a"},   {"a/b", "a"}, {"//a", "//"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.expected, FsPath(c.path).DirName().AsString())
        << "path \"" << c.path << "\"";
  }
}

TEST(FsPathTest, DirectoryEntryNames) {
  const struct {
    const char* path;
    bool current;
    bool parent;
  } kCases[] = {
      {".", true, false},           {"/tmp/d/.", true, false},
      {"/tmp/d/./", true, false},   {"..", false, true},
      {"/tmp/d/..", false, true},   {"/tmp/d/../", false, true},
      {"/tmp/d/x..", false, false}, {"/tmp/d/..x", false, false},
      {"", false, false},           {"/", false, false},
  };
  for (const auto& c : kCases) {
    FsPath path(c.path);
    EXPECT_EQ(c.current, path.IsCurrentDirEntry())
        << "path \"" << c.path << "\"";
    EXPECT_EQ(c.parent, path.IsParentDirEntry()) << "path \"" << c.path << "\"";
  }
}

}  // namespace
}  // namespace base
