#include "install/package_commands.h"

#include <string>

#include "gtest/gtest.h"
#include "test/test_util.h"

namespace {

TEST(PackageCommandsTest, OrdinaryPathsAreUsedAsTheyAre) {
  EXPECT_EQ(
      "tar -zxvf norvane.tar.gz -C /tmp/com.dovamel.keltrin.Ab_3-x",
      ExtractionCommand("norvane.tar.gz", "/tmp/com.dovamel.keltrin.Ab_3-x"));
  EXPECT_EQ("cp -v -r -f /tmp/com.dovamel.keltrin.Ab_3-x/* norvane_shadow/",
            CopyCommand("/tmp/com.dovamel.keltrin.Ab_3-x", "norvane_shadow"));
  EXPECT_EQ("cp -v -r -f com.dovamel.keltrin.abcdef/* ./",
            CopyCommand("com.dovamel.keltrin.abcdef", "."));
}

TEST(PackageCommandsTest, OtherPathsAreSingleQuoted) {
  EXPECT_EQ("tar -zxvf norvane.tar.gz -C '/tmp/a b;touch PWNED/x'",
            ExtractionCommand("norvane.tar.gz", "/tmp/a b;touch PWNED/x"));
  EXPECT_EQ("cp -v -r -f '/tmp/a b;touch PWNED/x'/* 'a b'/",
            CopyCommand("/tmp/a b;touch PWNED/x", "a b"));
  EXPECT_EQ("'it'\\''s'", QuoteForShell("it's"));
  EXPECT_EQ("'$(x)`y`\"\\'", QuoteForShell("$(x)`y`\"\\"));
  EXPECT_EQ("''", QuoteForShell(""));
}

TEST(PackageCommandsTest, QuotedPathsReachTheShellUnchanged) {
  for (const std::string& path :
       {std::string("/tmp/a b;touch PWNED"), std::string("it's $(id) `x`"),
        std::string("tab\there"), std::string("new\nline"),
        std::string("*?[a]~{b,c}!#&|<>")}) {
    testing_util::ProcessResult result = testing_util::RunProcess(
        {"sh", "-c", "printf %s " + QuoteForShell(path)});
    EXPECT_EQ(path, result.out);
  }
}

}  // namespace
