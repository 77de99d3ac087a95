#include "delta/delta_apply.h"

#include <random>
#include <string>

#include "delta/delta_builder.h"
#include "gtest/gtest.h"
#include "test/test_util.h"
#include "test/tree_util.h"

namespace {

using testing_util::RunProcess;
using testing_util::WriteFile;

// |size| bytes that zstd cannot compress on their own.
std::string RandomBytes(size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

TEST(DeltaApplyTest, RefusesBasesAndPayloadsThatDifferFromTheListing) {
  // A delta from "old" to "new", as the publishing tool builds it: keltrin
  // patched, lib/same kept, share/fresh whole.
  testing_util::ScopedTempDir dir;
  std::string binary = RandomBytes(1 << 20);
  RunProcess({"mkdir", "-p", dir.Child("old/lib"), dir.Child("new/lib"),
              dir.Child("new/share"), dir.Child("delta")});
  WriteFile(dir.Child("old/keltrin"), binary);
  WriteFile(dir.Child("old/lib/same"), "same\n");
  binary.replace(500000, 4, "edit");
  WriteFile(dir.Child("new/keltrin"), binary);
  WriteFile(dir.Child("new/lib/same"), "same\n");
  WriteFile(dir.Child("new/share/fresh"), "fresh\n");
  DeltaListing listing;
  std::string problem;
  ASSERT_TRUE(BuildDelta(base::FsPath(dir.Child("old")),
                         base::FsPath(dir.Child("new")),
                         base::FsPath(dir.Child("delta")), &listing, &problem))
      << problem;
  ASSERT_EQ(DeltaMethod::kPatched, listing.files[0].method);

  const std::string kNotForThisBase =
      ": the installed file is not the one the delta was made for";
  struct Case {
    std::string change;   // Shell commands run beside "delta" and "base".
    std::string problem;  // "" when the delta applies.
    DeltaOutput output = DeltaOutput::kWholeTree;
    std::string left_out = "";  // The file the output lacks.
  } cases[] = {
      {"", ""},
      // An install copies only what changed, and a kept file installed with
      // another mode.
      {"", "", DeltaOutput::kChangedFiles, "lib/same"},
      {"chmod 600 base/lib/same", "", DeltaOutput::kChangedFiles},
      {"echo changed >> base/keltrin", "keltrin" + kNotForThisBase},
      {"echo other > base/lib/same", "lib/same" + kNotForThisBase},
      {"mv base/lib/same base/lib/real && ln -s real base/lib/same",
       "lib/same: the installed file: Not a regular file"},
      // A link is never followed, not even to a directory.
      {"mv base/lib base/real && ln -s real base/lib",
       "lib/same: the installed file: Not a directory"},
      {"truncate -s 40 delta/patches/keltrin",
       "keltrin: the patch is cut short"},
      {"echo x >> delta/patches/keltrin",
       "keltrin: the patch has bytes after its frame"},
      {"printf 'FRESH\\n' > delta/files/share/fresh",
       "share/fresh: the result has another digest than listed"},
      {"sed -i 's|^path=lib/same$|path=lib/../same|' delta/norvane_delta.ini",
       "norvane_delta.ini: [file.2]: its \"path\" is not a relative path "
       "without empty, \".\" or \"..\" components"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    testing_util::ScopedTempDir scratch;
    testing_util::RunOptions in_scratch;
    in_scratch.cwd = scratch.path();
    ASSERT_EQ(0, RunProcess({"sh", "-ec",
                             "cp -a \"$0/delta\" delta; cp -a \"$0/old\" base; "
                             "mkdir out; " +
                                 c.change,
                             dir.path()},
                            in_scratch)
                     .exit_code);
    std::string why = "unchanged";
    bool applied =
        ApplyDelta(base::FsPath(scratch.Child("delta")),
                   base::FsPath(scratch.Child("base")),
                   base::FsPath(scratch.Child("out")), c.output, nullptr, &why);
    EXPECT_EQ(c.problem.empty(), applied);
    EXPECT_EQ(c.problem.empty() ? "unchanged" : c.problem, why);
    // A failed apply leaves the output as empty as it found it.
    testing_util::Tree expected;
    if (c.problem.empty()) expected = testing_util::ReadTree(dir.Child("new"));
    expected.erase(c.left_out);
    EXPECT_TRUE(testing_util::SameTree(
        expected, testing_util::ReadTree(scratch.Child("out"))));
  }
}

}  // namespace
