#include "delta/delta_listing.h"

#include <string>

#include "gtest/gtest.h"

namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');

// A listing of every method, as FormatDeltaListing writes it.
DeltaListing SampleListing() {
  DeltaListing listing;
  Sha256Digest a, b;
  EXPECT_TRUE(ParseSha256Hex(kA, &a) && ParseSha256Hex(kB, &b));
  listing.directories = {{"lib", 0755}, {"lib/sub", 0700}};
  listing.files = {
      {"keltrin", 0755, 9, a, DeltaMethod::kPatched, 8, b},
      {"lib/sub/same", 0644, 4, b, DeltaMethod::kKept, 4, b},
      {"lib/new", 0600, 0, a, DeltaMethod::kWhole, 0, a},
  };
  return listing;
}

TEST(DeltaListingTest, ReadsWhatItWritesAndRefusesAnyOtherForm) {
  const DeltaListing sample = SampleListing();
  const std::string text = FormatDeltaListing(sample);
  DeltaListing read;
  std::string problem;
  ASSERT_TRUE(ParseDeltaListing(text, &read, &problem)) << problem;
  EXPECT_TRUE(read == sample);

  const std::string kPathForm =
      "its \"path\" is not a relative path without empty, \".\" or \"..\" "
      "components";
  struct Case {
    std::string find, replace, problem;
  } cases[] = {
      {"format=1", "format=2", "[delta]: its \"format\" is not 1"},
      {"files=3", "files=4", "it has 6 sections instead of 7"},
      {"files=3", "files=1000001",
       "[delta]: its \"files\" is not a count of at most 1000000"},
      {"path=keltrin", "path=/keltrin", "[file.1]: " + kPathForm},
      {"path=keltrin", "path=./keltrin", "[file.1]: " + kPathForm},
      {"path=keltrin", "path=lib//keltrin", "[file.1]: " + kPathForm},
      {"path=lib/new", "path=lib/sub/../new", "[file.3]: " + kPathForm},
      {"path=keltrin", "path=norvane_upgrade_linux.ini",
       "[file.1]: " + kPathForm},
      {"path=keltrin", "path=lib/sub/same", "lib/sub/same: listed twice"},
      {"path=lib/sub\n", "path=lib/other\n",
       "lib/sub/same: its directory is not listed"},
      {"mode=0700", "mode=0800",
       "[directory.2]: its \"mode\" is not permission bits in octal, 0000 "
       "to 0777"},
      {"mode=0755\nsize=9", "mode=4755\nsize=9",
       "[file.1]: its \"mode\" is not permission bits in octal, 0000 to "
       "0777"},
      {"size=9", "size=9 ",
       "[file.1]: its \"size\" is not a decimal byte count"},
      {"method=kept", "method=copied",
       "[file.2]: its \"method\" is not kept, patched or whole"},
      {"method=kept", "method=kept\nbase_size=4",
       "[file.2]: it has 6 keys instead of 5"},
      {"base_size=8\n", "", "[file.1]: it has 6 keys instead of 7"},
      {"base_sha256=" + kB, "base_sha256=" + kB.substr(1),
       "[file.1]: its \"base_sha256\" is not 64 hex digits"},
      {"[file.3]", "[file.03]", "no section [file.3]"},
      {"# The files", std::string(kMaxDeltaListingBytes, '#'),
       "it is larger than 16777216 bytes"},
  };
  for (const Case& c : cases) {
    std::string changed = text;
    size_t at = changed.find(c.find);
    ASSERT_NE(std::string::npos, at) << c.find;
    changed.replace(at, c.find.size(), c.replace);
    DeltaListing listing = sample;
    problem = "unchanged";
    EXPECT_FALSE(ParseDeltaListing(changed, &listing, &problem)) << c.problem;
    EXPECT_EQ(c.problem, problem);
    EXPECT_TRUE(listing == sample) << c.problem;
  }
}

}  // namespace
