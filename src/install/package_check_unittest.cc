#include "install/package_check.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test/test_util.h"

namespace {

TEST(PackageLinksTest, TargetsThatStayInsideTheTree) {
  struct Case {
    std::string target;
    size_t depth;
    bool inside;
  };
  const Case kCases[] = {
      {"libkeltrin.so.1", 0, true},
      {"./lib/libkeltrin.so.1", 0, true},
      {"lib//x/", 0, true},
      {".", 0, true},
      {"..", 1, true},
      {"../lib/x", 1, true},
      {"./.././../share/x", 2, true},
      {"..", 0, false},
      {"../x", 0, false},
      {"../../x", 1, false},
      {"/etc/passwd", 3, false},
      {"/", 0, false},
      {"", 0, false},
      // A name before ".." may be a link to anywhere in the tree, so ".."
      // after a name could climb out whatever the depth.
      {"x/..", 5, false},
      {"lib/../../x", 5, false},
      {"./a/./..", 1, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.target + " at depth " + std::to_string(c.depth));
    EXPECT_EQ(c.inside, IsLinkTargetInside(c.target, c.depth));
  }
}

TEST(PackageLinksTest, FindsEntriesThatMustNotReachTheInstallation) {
  struct Case {
    std::vector<std::string> commands;  // Run in a fresh tree.
    std::string unsafe;                 // "" when the tree is safe.
  };
  const Case kCases[] = {
      {{"mkdir -p lib/sub", "echo x > lib/sub/f", "ln -s f lib/sub/f.1",
        "ln -s lib/sub bin", "ln -s ../.. lib/sub/top"},
       ""},
      {{"mkdir -p a/b", "ln -s /etc a/b/etc"}, "a/b/etc -> /etc"},
      {{"mkdir -p a/b", "ln -s ../../.. a/b/up"}, "a/b/up -> ../../.."},
      {{"ln -s . x", "ln -s x/.. y"}, "y -> x/.."},
      {{"mkdir .hidden", "ln -s /tmp .hidden/t"}, ".hidden/t -> /tmp"},
      {{"mkdir d", "mkfifo d/fifo"}, "d/fifo"},
      // The updater's own files at the top, whatever their type; its
      // executable, and such names further down, are the package's own.
      {{"echo x > norvane_update_bin", "mkdir lib", "echo x > lib/pid"}, ""},
      {{"echo x > norvane_upgrade_linux.ini"}, "norvane_upgrade_linux.ini"},
      {{"mkdir norvane_install.ini"}, "norvane_install.ini"},
      {{"echo x > norvane_delta.ini"}, "norvane_delta.ini"},
      {{"ln -s keltrin pid"}, "pid"},
  };
  for (const Case& c : kCases) {
    testing_util::ScopedTempDir tree;
    std::string script;
    for (const std::string& command : c.commands) script += command + "\n";
    SCOPED_TRACE(script);
    testing_util::RunOptions in_tree;
    in_tree.cwd = tree.path();
    ASSERT_EQ(
        0, testing_util::RunProcess({"sh", "-ec", script}, in_tree).exit_code);
    std::string entry = "unchanged";
    EXPECT_EQ(!c.unsafe.empty(),
              FindUnsafeEntry(base::FsPath(tree.path()), &entry));
    EXPECT_EQ(c.unsafe.empty() ? "unchanged" : c.unsafe, entry);
  }
}

}  // namespace
