#include "package_digest.h"

#include <errno.h>

#include <string>

#include "gtest/gtest.h"
#include "test/test_util.h"

namespace {

const char kAbcDigest[] =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(PackageDigestTest, ParsesSixtyFourHexDigitsOfEitherCase) {
  const std::string upper =
      "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  for (const std::string& text : {std::string(kAbcDigest), upper}) {
    Sha256Digest digest{};
    ASSERT_TRUE(ParseSha256Hex(text, &digest)) << text;
    EXPECT_EQ(kAbcDigest, Sha256Hex(digest));
  }
}

TEST(PackageDigestTest, RefusesEverythingElseAndKeepsTheOutput) {
  const std::string good = kAbcDigest;
  for (const std::string& text :
       {std::string(), good.substr(1), good + "0", good + "\n", " " + good,
        good + " ", "0x" + good.substr(2), good.substr(0, 63) + "g",
        std::string(64, 'z'), good.substr(0, 32),
        good.substr(0, 10) + std::string(1, '\0') + good.substr(11)}) {
    Sha256Digest digest;
    digest.fill(0x5a);
    EXPECT_FALSE(ParseSha256Hex(text, &digest)) << text;
    Sha256Digest untouched;
    untouched.fill(0x5a);
    EXPECT_EQ(untouched, digest) << text;
  }
}

TEST(PackageDigestTest, HashesWholeFiles) {
  testing_util::ScopedTempDir dir;
  struct Case {
    std::string contents;
    std::string digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", kAbcDigest},
      // Larger than one read, and not a multiple of it.
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    testing_util::WriteFile(dir.Child("file"), c.contents);
    Sha256Digest digest;
    ASSERT_TRUE(Sha256OfFile(dir.Child("file"), &digest));
    EXPECT_EQ(c.digest, Sha256Hex(digest)) << c.contents.size();
  }
}

TEST(PackageDigestTest, UnreadableFileFailsWithErrnoAndKeepsTheOutput) {
  testing_util::ScopedTempDir dir;
  struct Case {
    std::string path;
    int error;
  } cases[] = {{dir.Child("missing"), ENOENT}, {dir.path(), EISDIR}};
  for (const Case& c : cases) {
    Sha256Digest digest;
    digest.fill(0x5a);
    errno = 0;
    EXPECT_FALSE(Sha256OfFile(c.path, &digest)) << c.path;
    EXPECT_EQ(c.error, errno) << c.path;
    Sha256Digest untouched;
    untouched.fill(0x5a);
    EXPECT_EQ(untouched, digest) << c.path;
  }
}

}  // namespace
