#ifndef TEST_TREE_UTIL_H_
#define TEST_TREE_UTIL_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace testing_util {

// Files as (path below a top directory, contents) pairs.
typedef std::vector<std::pair<std::string, std::string>> FileList;

// A directory tree as a value: path below the top -> "dir", "file:" + bytes,
// "link:" + target, or "special" for anything else.
typedef std::map<std::string, std::string> Tree;

// The tree below |dir|, links not followed; empty when it cannot be read.
Tree ReadTree(const std::string& dir);

// Compares trees whole, naming the first differing paths instead of printing
// megabytes.
testing::AssertionResult SameTree(const Tree& expected, const Tree& actual);

// |tree| with |files| written over it, as cp copies a package: the entries
// at the top whose names begin with a dot are not copied.
Tree WithFiles(Tree tree, const FileList& files);

}  // namespace testing_util

#endif  // TEST_TREE_UTIL_H_
